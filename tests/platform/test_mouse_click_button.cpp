#include "platform/mouse_click_button.h"

#include <QTest>
#include <gtest/gtest.h>

using vardo::ui::MouseClickButton;

// Space on the focused button presses an ordinary button, never a mouse-only one.
TEST(MouseClickButton, OnlyAMouseClickPressesIt)
{
    for (bool mouseOnly : {true, false}) {
        QWidget window;
        auto* b = new MouseClickButton(QStringLiteral("Upgrade Firmware"), &window, mouseOnly);
        int clicks = 0;
        QObject::connect(b, &QPushButton::clicked, [&] { ++clicks; });
        window.show();
        b->setFocus();
        QTest::keyClick(b, Qt::Key_Space);
        EXPECT_EQ(clicks, mouseOnly ? 0 : 1) << mouseOnly;
        QTest::mouseClick(b, Qt::LeftButton);
        EXPECT_EQ(clicks, mouseOnly ? 1 : 2) << mouseOnly;
    }
}
