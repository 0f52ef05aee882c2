#pragma once
// A push button that reacts to a mouse click only: with mouseOnly set, Space
// and Enter on the focused button do nothing. Buttons whose action is costly
// or irreversible (an upgrade, stopping a test) are pressed deliberately.
#include <QPushButton>

namespace vardo::ui {

class MouseClickButton : public QPushButton {
public:
    explicit MouseClickButton(const QString& text, QWidget* parent = nullptr, bool mouseOnly = true);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    bool mouseOnly_;
};

} // namespace vardo::ui
