#include "app/panel_style.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QStyleOption>

#include <array>

namespace qxd {

PanelCacheStyle::PanelCacheStyle()
    : QProxyStyle(nullptr) {}

void PanelCacheStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                                    QPainter* painter, const QWidget* widget) const {
    const auto* frame = qstyleoption_cast<const QStyleOptionFrame*>(option);
    // Only what a copy reproduces exactly: a panel on a plain (translated)
    // painter, filled with a solid brush, of a box that stands alone (styles
    // draw the box of a spin box or combo box with their control, or not at
    // all). Anything else is drawn as usual.
    const QWidget* owner = widget ? widget->parentWidget() : nullptr;
    if (element != PE_PanelLineEdit || inside_ || !frame || option->rect.isEmpty() ||
        qobject_cast<const QAbstractSpinBox*>(owner) || qobject_cast<const QComboBox*>(owner) ||
        painter->transform().type() > QTransform::TxTranslate ||
        option->palette.base().style() != Qt::SolidPattern) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    const qreal dpr = painter->device() ? painter->device()->devicePixelRatio() : 1.0;
    const QSize size = option->rect.size();
    // The look's values, carried as the key's UTF-16 code units: building
    // a readable key with QString::arg cost more than the copy it finds.
    const std::array<qint64, 9> look{size.width(),
                                     size.height(),
                                     qint64(option->state),
                                     qint64(option->palette.cacheKey()),
                                     qRound64(dpr * 1000),
                                     frame->lineWidth,
                                     frame->midLineWidth,
                                     qint64(frame->features),
                                     qint64(option->direction)};
    QString key = QStringLiteral("qxd-panel:");
    key.append(reinterpret_cast<const QChar*>(look.data()), qsizetype(sizeof look / sizeof(QChar)));
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
