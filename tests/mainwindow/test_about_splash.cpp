// The about box, the version resources, the splash and the start-up order.
#include "config/config_test_env.h"
#include "mainwindow/about.h"
#include "mainwindow/app_startup.h"
#include "mainwindow/form1.h"
#include "mainwindow/pictures.h"
#include "mainwindow/vardo_splash_form.h"
#include "mainwindow/version.h"
#include "sim/virtual_encoder.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTimer>

#include <gmock/gmock.h>

#include <functional>

#include <set>

using namespace vardo;
using ::testing::ElementsAre;
using DR = platform::DialogRecord;

namespace {

TEST(VersionResources, HoldVersionAndPartNumber)
{
    EXPECT_EQ(version::GetString("Version"), "5.1");
    EXPECT_EQ(version::GetString("Part_Number"), "7100-SW01");
    EXPECT_EQ(version::GetString("version"), "");
}

TEST(Pictures, AreDrawnAtTheirSizesAndNotBlank)
{
    for (const QPixmap& picture : {ui::splashPicture(), ui::aboutPicture()}) {
        const QImage image = picture.toImage();
        EXPECT_FALSE(image.isNull());
        std::set<QRgb> colours;
        for (int y = 0; y < image.height(); y += 7)
            for (int x = 0; x < image.width(); x += 7)
                colours.insert(image.pixel(x, y));
        EXPECT_GT(colours.size(), 50u);
    }
    EXPECT_EQ(ui::splashPicture().size(), QSize(960, 500));
    EXPECT_EQ(ui::aboutPicture().size(), QSize(434, 72));
}

class AboutBox : public testenv::Environment {};

TEST_F(AboutBox, ShowsVersionPartNumberAndCopyright)
{
    about box;
    box.show();
    EXPECT_EQ(box.windowTitle(), "About USB Configuration Utility");
    EXPECT_EQ(box.minimumSize(), QSize(458, 373));
    EXPECT_EQ(box.maximumSize(), QSize(458, 373));
    auto label = [&](const char* name) { return box.findChild<QLabel*>(name)->text(); };
    EXPECT_EQ(label("label1"), "USB Configuration Utility");
    EXPECT_EQ(label("versionLbl"), "Version 5.1");
    EXPECT_EQ(label("label3"), "Part No ");
    EXPECT_EQ(label("partNoLbl"), "7100-SW01");
    EXPECT_THAT(label("label2").toStdString(), ::testing::HasSubstr("Copyright"));
    EXPECT_EQ(about::versionNo, "5.1");
    EXPECT_EQ(about::partNo, "7100-SW01");
    auto* picture = box.findChild<QLabel*>("pictureBox1");
    EXPECT_EQ(picture->size(), picture->pixmap().size());
    EXPECT_EQ(box.findChild<QTextBrowser*>("richTextBox1")->size(), QSize(418, 111));
}

TEST_F(AboutBox, AClickedLinkGoesToTheDesktopAsItsText)
{
    about box;
    box.show();
    auto* text = box.findChild<QTextBrowser*>("richTextBox1");
    std::vector<std::string> links;
    for (QTextBlock block = text->document()->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isAnchor())
                links.push_back(it.fragment().text().toStdString());
    ASSERT_EQ(links.size(), 2u);
    EXPECT_THAT(links[0], ::testing::StartsWith("https://"));
    EXPECT_THAT(links[1], ::testing::StartsWith("mailto:"));

    // Click in the middle of each link's text.
    for (const std::string& link : links) {
        const int at = text->toPlainText().indexOf(QString::fromStdString(link));
        ASSERT_GE(at, 0);
        QTextCursor cursor(text->document());
        cursor.setPosition(at + static_cast<int>(link.size()) / 2);
        const QPoint point = text->cursorRect(cursor).center();
        QTest::mouseClick(text->viewport(), Qt::LeftButton, {}, point);
    }
    const auto records = dialogs.records();
    ASSERT_EQ(records.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(records[i].kind, DR::Kind::OpenUrl);
        EXPECT_EQ(records[i].text, links[i]);
    }
    EXPECT_TRUE(box.isVisible());
}

TEST_F(AboutBox, CloseButtonEscAndEnterCloseIt)
{
    const std::function<void(about&)> ways[] = {
        [](about& b) { QTest::mouseClick(b.findChild<QPushButton*>("button2"), Qt::LeftButton); },
        [](about& b) { QTest::keyClick(&b, Qt::Key_Escape); },
        [](about& b) { QTest::keyClick(&b, Qt::Key_Return); },
    };
    for (const auto& close : ways) {
        about box;
        box.show();
        close(box);
        EXPECT_FALSE(box.isVisible());
    }
}

TEST(Splash, ClosesItselfAfterThreeSeconds)
{
    vardo_splash_form splash;
    EXPECT_EQ(splash.minimumSize(), QSize(962, 511));
    EXPECT_EQ(splash.maximumSize(), QSize(962, 511));
    EXPECT_EQ(splash.findChild<QLabel*>("pictureBox1")->geometry(), QRect(-2, -18, 960, 500));
    ASSERT_NE(splash.timer(), nullptr);
    EXPECT_TRUE(splash.timer()->isActive());
    EXPECT_EQ(splash.timer()->interval(), 3000);
    EXPECT_TRUE(splash.timer()->isSingleShot());
    EXPECT_TRUE(splash.windowFlags() & Qt::FramelessWindowHint);

    int closed = 0;
    QObject::connect(&splash, &vardo_splash_form::closed, [&] { ++closed; });
    splash.show();
    splash.onShownLongEnough();
    EXPECT_FALSE(splash.isVisible());
    EXPECT_EQ(closed, 1);
}

class StartUpOrder : public testenv::Environment {};

TEST_F(StartUpOrder, SplashFirstThenLoadThenTheWindow)
{
    std::vector<std::string> steps;
    ui::StartUp startUp([&](Form1& w) {
        steps.push_back(w.isVisible() ? "built, shown" : "built");
    });
    dialogs.onMessage([&](const DR& r) {
        steps.push_back("message " + r.text + (startUp.mainWindow().isVisible() ? " (window shown)" : ""));
    });
    startUp.begin();
    ASSERT_NE(startUp.splash(), nullptr);
    EXPECT_TRUE(startUp.splash()->isVisible());
    EXPECT_FALSE(startUp.mainWindow().isVisible());
    EXPECT_TRUE(FileName.empty());   // nothing loads while the splash shows

    startUp.splash()->onShownLongEnough();
    EXPECT_TRUE(QTest::qWaitFor([&] { return startUp.mainWindowShown(); }, 2000));
    EXPECT_TRUE(startUp.mainWindow().isVisible());
    EXPECT_THAT(steps, ElementsAre("built", "message Vardo 710 Encoder not connected..\r\nThe main window opens "
                                            "next, without an encoder: plug it in, install the udev rule "
                                            "/usr/lib/udev/rules.d/70-vardo-encoder.rules (by hand: copy it to "
                                            "/etc/udev/rules.d), then press Scan For Device.\r\n"));
    EXPECT_EQ(FileName, dataHome + "/VardoInterface/USBUtilityCfg.ini");
    EXPECT_EQ(startUp.mainWindow().deviceStatus.optionsFitted, 7);
}

TEST_F(StartUpOrder, WithAnEncoderTheWindowShowsItAtOnce)
{
    sim::VirtualEncoder encoder;
    ui::StartUp startUp;
    startUp.begin();
    startUp.splash()->onShownLongEnough();
    EXPECT_TRUE(QTest::qWaitFor([&] { return startUp.mainWindowShown(); }, 2000));
    EXPECT_TRUE(dialogs.records().empty());
    EXPECT_EQ(startUp.mainWindow().configArray[0].left(42), "Device Connected   -    Vardo 710i Encoder");
}

} // namespace
