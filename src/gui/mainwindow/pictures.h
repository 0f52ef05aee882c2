#pragma once
// The program's own pictures, painted at run time: nothing is loaded from files.
#include <QPixmap>

namespace vardo::ui {

// The splash screen's picture, 960 x 500.
QPixmap splashPicture();
// The about box's heading picture, 434 x 72.
QPixmap aboutPicture();
// A small drawing of the encoder's keypad with its LED (w x h), used by both.
void paintKeypadBadge(class QPainter& p, const QRectF& area, const QColor& led);

} // namespace vardo::ui
