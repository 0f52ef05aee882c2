#include "platform/mouse_click_button.h"

#include <QKeyEvent>

namespace vardo::ui {

MouseClickButton::MouseClickButton(const QString& text, QWidget* parent, bool mouseOnly)
    : QPushButton(text, parent), mouseOnly_(mouseOnly)
{
}

void MouseClickButton::keyPressEvent(QKeyEvent* event)
{
    if (mouseOnly_)
        QWidget::keyPressEvent(event);   // ignored: passes on to the window
    else
        QPushButton::keyPressEvent(event);
}

void MouseClickButton::keyReleaseEvent(QKeyEvent* event)
{
    if (mouseOnly_)
        QWidget::keyReleaseEvent(event);
    else
        QPushButton::keyReleaseEvent(event);
}

} // namespace vardo::ui
