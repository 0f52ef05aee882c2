#pragma once
// Small widget pieces the fixed-size windows need beyond Qt's stock ones.
#include <QObject>
#include <QPushButton>

#include "platform/mouse_click_button.h"

class QComboBox;
class QFont;

namespace vardo::ui {

// A push button whose caption wraps onto several lines, as large captions in
// small buttons do on the system this program comes from. With mouseOnly set
// the keyboard (Space) cannot press it: only a mouse click counts.
class WrapButton : public MouseClickButton {
    Q_OBJECT
public:
    explicit WrapButton(const QString& text, QWidget* parent = nullptr, bool mouseOnly = false);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// Keeps a settings box from changing by accident: discards every key press
// that would type a character (Tab, Shift+Tab and Escape still move on), and
// passes the wheel on unless the box has the focus. Only choosing an item
// (mouse, arrow keys, the wheel on the focused box) changes it.
class SettingsBoxFilter : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// "Microsoft Sans Serif" at the given point size; the family is mapped to a
// metric-compatible font installed here (see installFontSubstitutes).
QFont windowFont(double pointSize, bool bold = false);

// Registers Liberation Sans (then Arial-compatible fallbacks) for the font
// family the window layouts were measured with.
void installFontSubstitutes();

} // namespace vardo::ui
