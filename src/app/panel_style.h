// The style of the window's text boxes: the application's own style, with
// the panel and frame of a line edit drawn once per look and then copied.
// The window rewrites its status boxes several times a second while quotes
// stream in, and the panel's antialiased rounded frame costs more to draw
// than the text inside it; a copy of the same pixels costs a blit.
#pragma once

#include <QProxyStyle>

namespace qxd {

class PanelCacheStyle : public QProxyStyle {
    Q_OBJECT
public:
    PanelCacheStyle();

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;

    // Panels drawn by the base style so far (each look once while it stays
    // in the pixmap cache).
    int panelsDrawn() const { return drawn_; }

private:
    mutable bool inside_ = false;
    mutable int drawn_ = 0;
};

} // namespace qxd
