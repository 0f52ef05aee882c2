#pragma once
// What a screen reader meets in a window: its visible controls and the names
// they announce, read from the same accessibility tree the AT-SPI bridge serves.
#include <QAccessible>
#include <QAccessibleInterface>
#include <QStringList>
#include <QWidget>

namespace vardo::testenv {

// The roles an operator acts on or reads a value from.
inline bool isControl(QAccessible::Role role)
{
    switch (role) {
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::ComboBox:
    case QAccessible::EditableText:
    case QAccessible::ProgressBar:
    case QAccessible::ScrollBar:
    case QAccessible::SpinBox:
    case QAccessible::Slider:
        return true;
    default:
        return false;
    }
}

// "role objectName" of every visible control without an accessible name
// (empty when every control is named); *count gets the number of controls.
inline QStringList unnamedControls(QWidget* window, int* count = nullptr)
{
    QStringList unnamed;
    int controls = 0;
    const auto walk = [&](auto&& self, QAccessibleInterface* node) -> void {
        if (!node || node->state().invisible)
            return;
        if (isControl(node->role())) {
            ++controls;
            if (node->text(QAccessible::Name).trimmed().isEmpty()) {
                QObject* object = node->object();
                unnamed << QStringLiteral("%1 %2").arg(int(node->role())).arg(object ? object->objectName() : QString());
            }
        }
        // A combo box's list and a scroll bar's parts are not separate controls.
        if (node->role() == QAccessible::ComboBox || node->role() == QAccessible::ScrollBar)
            return;
        for (int i = 0; i < node->childCount(); ++i)
            self(self, node->child(i));
    };
    walk(walk, QAccessible::queryAccessibleInterface(window));
    if (count)
        *count = controls;
    return unnamed;
}

} // namespace vardo::testenv
