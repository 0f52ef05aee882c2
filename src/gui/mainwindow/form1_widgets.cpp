#include "mainwindow/form1_widgets.h"

#include <QComboBox>
#include <QFont>
#include <QKeyEvent>
#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

namespace vardo::ui {

namespace {
constexpr int kTextMargin = 4;
}

WrapButton::WrapButton(const QString& text, QWidget* parent, bool mouseOnly)
    : MouseClickButton(text, parent, mouseOnly)
{
}

QSize WrapButton::sizeHint() const { return size(); }

void WrapButton::paintEvent(QPaintEvent*)
{
    QStylePainter p(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    p.drawControl(QStyle::CE_PushButton, option);
    p.setFont(font());
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                             QPalette::ButtonText));
    const QRect area = rect().adjusted(kTextMargin, kTextMargin, -kTextMargin, -kTextMargin);
    p.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, text());
}

bool SettingsBoxFilter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool leaves = key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab
            || key->key() == Qt::Key_Escape;
        if (!leaves && !key->text().isEmpty())
            return true;
    }
    if (event->type() == QEvent::Wheel && !static_cast<QWidget*>(watched)->hasFocus()) {
        event->ignore();   // the parent may still scroll
        return true;
    }
    return QObject::eventFilter(watched, event);
}

QFont windowFont(double pointSize, bool bold)
{
    QFont f(QStringLiteral("Microsoft Sans Serif"));
    f.setPointSizeF(pointSize);
    f.setBold(bold);
    return f;
}

void installFontSubstitutes()
{
    QFont::insertSubstitutions(QStringLiteral("Microsoft Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
}

} // namespace vardo::ui
