#include "app/panel_style.h"

#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QStyleOption>

namespace qxd {

PanelCacheStyle::PanelCacheStyle()
    : QProxyStyle(nullptr) {}

void PanelCacheStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                                    QPainter* painter, const QWidget* widget) const {
    const auto* frame = qstyleoption_cast<const QStyleOptionFrame*>(option);
    // Only what a copy reproduces exactly: a panel on a plain (translated)
    // painter, filled with a solid brush. Anything else is drawn as usual.
    if (element != PE_PanelLineEdit || inside_ || !frame || option->rect.isEmpty() ||
        painter->transform().type() > QTransform::TxTranslate ||
        option->palette.base().style() != Qt::SolidPattern) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    const qreal dpr = painter->device() ? painter->device()->devicePixelRatio() : 1.0;
    const QSize size = option->rect.size();
    const QString key = QStringLiteral("qxd-panel:%1x%2:%3:%4:%5:%6:%7:%8:%9")
                            .arg(size.width())
                            .arg(size.height())
                            .arg(int(option->state))
                            .arg(option->palette.cacheKey())
                            .arg(dpr)
                            .arg(frame->lineWidth)
                            .arg(frame->midLineWidth)
                            .arg(int(frame->features))
                            .arg(int(option->direction));
    QPixmap pm;
    if (!QPixmapCache::find(key, &pm)) {
        pm = QPixmap(size * dpr);
        pm.setDevicePixelRatio(dpr);
        pm.fill(Qt::transparent);
        QStyleOptionFrame at(*frame);
        at.rect = QRect(QPoint(0, 0), size);
        QPainter p(&pm);
        p.setRenderHints(painter->renderHints());
        inside_ = true;
        QProxyStyle::drawPrimitive(element, &at, &p, widget);
        inside_ = false;
        p.end();
        ++drawn_;
        QPixmapCache::insert(key, pm);
    }
    painter->drawPixmap(option->rect.topLeft(), pm);
}

} // namespace qxd
