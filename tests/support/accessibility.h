#pragma once
// What a screen reader meets in a window: its visible controls and the names
// they announce, from the accessibility tree the AT-SPI bridge serves.
#include <QAccessible>
#include <QAccessibleInterface>
#include <QStringList>
#include <QWidget>

namespace vardo::testenv {

// The objectNames of the visible controls without a name; *count gets the number of controls.
inline QStringList unnamedControls(QWidget* window, int* count = nullptr)
{
    using R = QAccessible::Role;
    static const QList<R> controls = {R::PushButton, R::CheckBox, R::ComboBox, R::EditableText,
                                      R::ProgressBar, R::ScrollBar, R::SpinBox, R::Slider,
                                      R::MenuBar};
    QStringList unnamed;
    int n = 0;
    const auto walk = [&](auto&& self, QAccessibleInterface* node) -> void {
        if (!node || node->state().invisible)
            return;
        const bool control = controls.contains(node->role());
        if (control && ++n && node->text(QAccessible::Name).trimmed().isEmpty())
            unnamed << (node->object() ? node->object()->objectName() : QStringLiteral("?"));
        // A combo box's list and a scroll bar's arrows are parts, not controls.
        if (node->role() != R::ComboBox && node->role() != R::ScrollBar)
            for (int i = 0; i < node->childCount(); ++i)
                self(self, node->child(i));
    };
    walk(walk, QAccessible::queryAccessibleInterface(window));
    if (count)
        *count = n;
    return unnamed;
}

} // namespace vardo::testenv
