#include "demo/virtual_encoder_window.h"

#include "codetable/usage_codes.h"
#include "platform/dialogs.h"
#include "sim/virtual_device.h"

#include <algorithm>

#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QRadialGradient>
#include <QStackedWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

namespace vardo::demo {

namespace {

constexpr int kPollMs = 50;

QString usageName(std::uint8_t code)
{
    // The list text is the hex caption, blanks, then the key's name.
    const std::string_view text = codetable::usageItemText(code);
    const std::size_t name = text.find_first_not_of(' ', 4);
    return name == std::string_view::npos
        ? QString()
        : QString::fromLatin1(text.data() + name, static_cast<qsizetype>(text.size() - name));
}

QString modifierName(std::uint8_t byte)
{
    switch (byte) {
    case 0xE0: case 0xE4: return QStringLiteral("Ctrl+");
    case 0xE1: case 0xE5: return QStringLiteral("Shift+");
    case 0xE2: case 0xE6: return QStringLiteral("Alt+");
    case 0xE3: case 0xE7: return QStringLiteral("Gui+");
    default: return QString();
    }
}

QString modeText(const sim::VirtualEncoder& encoder, const sim::VirtualLoader& loader)
{
    switch (encoder.mode()) {
    case sim::EncoderMode::Application:
        return encoder.selfTestMode() ? QStringLiteral("On the USB bus - self test mode")
                                      : QStringLiteral("On the USB bus");
    case sim::EncoderMode::Unplugged:
        return QStringLiteral("Unplugged");
    case sim::EncoderMode::Resetting:
        return QStringLiteral("Restarting after a factory reset");
    case sim::EncoderMode::BootLoader:
        return loader.onBus() ? QStringLiteral("Boot loader on the USB bus")
                              : QStringLiteral("Boot loader, restarting");
    }
    return {};
}

} // namespace

LedLamp::LedLamp(QWidget* parent) : QWidget(parent)
{
    setMinimumSize(52, 52);
}

void LedLamp::setState(int level, int colourIndex)
{
    if (level == level_ && colourIndex == colour_)
        return;
    level_ = level;
    colour_ = colourIndex;
    update();
}

QColor LedLamp::shownColour() const
{
    QColor lit = colour_ == 1 ? QColor(40, 230, 80) : colour_ == 2 ? QColor(240, 40, 40)
                                                                   : QColor(255, 250, 215);
    const QColor dark(70, 70, 70);
    // Even the lowest level is clearly lit; 9 is full colour.
    const int level = std::clamp(level_, 0, 9);
    const double t = level == 0 ? 0.0 : 0.45 + 0.55 * level / 9.0;
    return QColor::fromRgbF(dark.redF() + (lit.redF() - dark.redF()) * t,
                            dark.greenF() + (lit.greenF() - dark.greenF()) * t,
                            dark.blueF() + (lit.blueF() - dark.blueF()) * t);
}

void LedLamp::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(6, 6, -6, -6);
    const double side = std::min(area.width(), area.height());
    const QRectF lamp(area.center().x() - side / 2, area.center().y() - side / 2, side, side);
    const QColor c = shownColour();
    if (level_ > 0) {
        // The lit lamp glows around its edge, more with a higher level.
        QColor halo = c;
        halo.setAlpha(40 + 20 * std::clamp(level_, 0, 9));
        QRadialGradient glow(lamp.center(), side / 2 + 4);
        glow.setColorAt(0.7, halo);
        glow.setColorAt(1, QColor(halo.red(), halo.green(), halo.blue(), 0));
        p.setPen(Qt::NoPen);
        p.setBrush(glow);
        p.drawEllipse(lamp.center(), side / 2 + 4, side / 2 + 4);
    }
    QRadialGradient g(lamp.center() - QPointF(side / 6, side / 6), side / 1.4);
    g.setColorAt(0, c.lighter(level_ > 0 ? 150 : 110));
    g.setColorAt(1, c.darker(level_ > 0 ? 130 : 150));
    p.setPen(QPen(QColor(30, 30, 30), 2));
    p.setBrush(g);
    p.drawEllipse(lamp);
}

VirtualEncoderPage::VirtualEncoderPage(sim::VirtualEncoderDevice& device, QWidget* parent)
    : QWidget(parent), device_(device)
{
    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(0, 0, 0, 0);

    auto* ledRow = new QHBoxLayout;
    lamp_ = new LedLamp(this);
    lamp_->setObjectName(QStringLiteral("ledLamp"));
    ledText_ = new QLabel(this);
    ledText_->setObjectName(QStringLiteral("ledText"));
    ledRow->addWidget(lamp_);
    ledRow->addWidget(ledText_, 1);
    top->addLayout(ledRow);

    auto* buzzerRow = new QHBoxLayout;
    buzzerIcon_ = new QLabel(QStringLiteral("\u266A"), this);
    buzzerIcon_->setObjectName(QStringLiteral("buzzerIcon"));
    buzzerIcon_->setAlignment(Qt::AlignCenter);
    buzzerIcon_->setFixedSize(48, 36);
    QFont big = buzzerIcon_->font();
    big.setPointSize(20);
    buzzerIcon_->setFont(big);
    buzzerText_ = new QLabel(this);
    buzzerText_->setObjectName(QStringLiteral("buzzerText"));
    buzzerRow->addWidget(buzzerIcon_);
    buzzerRow->addWidget(buzzerText_, 1);
    top->addLayout(buzzerRow);

    layoutText_ = new QLabel(this);
    layoutText_->setObjectName(QStringLiteral("layoutText"));
    top->addWidget(layoutText_);
    keypad_ = new QGridLayout;
    keypad_->setSpacing(4);
    top->addLayout(keypad_);
    typedText_ = new QLabel(QStringLiteral("Typed: -"), this);
    typedText_->setObjectName(QStringLiteral("typedText"));
    top->addWidget(typedText_);

    auto* plugRow = new QHBoxLayout;
    modeText_ = new QLabel(this);
    modeText_->setObjectName(QStringLiteral("modeText"));
    plugButton_ = new QPushButton(this);
    plugButton_->setObjectName(QStringLiteral("plugButton"));
    connect(plugButton_, &QPushButton::clicked, this, &VirtualEncoderPage::togglePlug);
    plugRow->addWidget(modeText_, 1);
    plugRow->addWidget(plugButton_);
    top->addLayout(plugRow);
    refresh();
}

QString VirtualEncoderPage::title() const
{
    const std::wstring serial = device_.encoder().serialNumber();
    return QString::fromStdString(device_.encoder().usbPort()) + QStringLiteral("   ")
         + (serial.empty() ? QStringLiteral("-") : QString::fromStdWString(serial));
}

QString VirtualEncoderPage::keyCaption(int key) const
{
    const std::size_t at = static_cast<std::size_t>(2 * (key - 1));
    return QStringLiteral("%1\n%2%3").arg(key).arg(modifierName(shownTable_[at]),
                                                   usageName(shownTable_[at + 1]));
}

void VirtualEncoderPage::rebuildKeypad(int keyCount)
{
    for (QPushButton* b : keys_)
        delete b;
    keys_.clear();
    const int columns = keyCount == 12 ? 3 : keyCount == 4 ? 2 : 4;
    for (int key = 1; key <= keyCount; ++key) {
        auto* b = new QPushButton(this);
        b->setObjectName(QStringLiteral("key%1").arg(key));
        b->setMinimumSize(60, 48);
        b->setFocusPolicy(Qt::NoFocus);
        connect(b, &QPushButton::clicked, this, [this, key] { device_.encoder().pressKey(key - 1); });
        keypad_->addWidget(b, (key - 1) / columns, (key - 1) % columns);
        keys_.push_back(b);
    }
}

void VirtualEncoderPage::refresh()
{
    sim::VirtualEncoder& encoder = device_.encoder();
    const std::uint64_t revision = encoder.revision();
    const int fitted = encoder.optionsFitted();

    // Time alone ends a beep, so the buzzer is looked at on every tick.
    const bool sounding = encoder.buzzerSounding();
    buzzerIcon_->setStyleSheet(sounding ? QStringLiteral("color: #e08000;")
                                        : QStringLiteral("color: #a0a0a0;"));
    if (revision == seenRevision_)
        return;
    seenRevision_ = revision;

    lamp_->setState(encoder.ledLevel(), encoder.ledColour());
    static const char* colours[] = {"white", "green", "red"};
    const int colour = encoder.ledColour();
    ledText_->setText((fitted & 3) == 0
                          ? QStringLiteral("No LED fitted")
                          : QStringLiteral("LED level %1, %2")
                                .arg(encoder.ledLevel())
                                .arg(QString::fromLatin1(colour >= 0 && colour <= 2 ? colours[colour]
                                                                                    : "colour ?")));
    buzzerText_->setText((fitted & 4) == 0
                             ? QStringLiteral("No buzzer fitted")
                             : QStringLiteral("Buzzer %1, period %2, %3 beeps")
                                   .arg(encoder.buzzer() ? QStringLiteral("on") : QStringLiteral("off"))
                                   .arg(encoder.buzzerPeriod())
                                   .arg(encoder.beepCount()));

    const int layout = encoder.keypadType();
    const std::string_view layoutName = codetable::layoutItemText(layout);
    layoutText_->setText(QStringLiteral("Keypad: ")
                         + QString::fromLatin1(layoutName.data(), static_cast<qsizetype>(layoutName.size()))
                         + QStringLiteral("\nFirmware ")
                         + QString::fromStdString(encoder.firmwareVersion()));
    const auto table = encoder.activeCodeTable();
    const int keyCount = sim::VirtualEncoder::keyCount(layout);
    if (layout != shownLayout_ || static_cast<int>(keys_.size()) != keyCount || table != shownTable_) {
        shownLayout_ = layout;
        shownTable_ = table;
        if (static_cast<int>(keys_.size()) != keyCount)
            rebuildKeypad(keyCount);
        for (int key = 1; key <= keyCount; ++key)
            keys_[static_cast<std::size_t>(key - 1)]->setText(keyCaption(key));
    }
    const bool onBus = encoder.mode() == sim::EncoderMode::Application;
    for (QPushButton* b : keys_)
        b->setEnabled(onBus);

    const auto strokes = encoder.keyStrokes();
    if (!strokes.empty())
        typedText_->setText(QStringLiteral("Typed: ") + modifierName(strokes.back().modifier)
                            + usageName(strokes.back().usage));

    modeText_->setText(modeText(encoder, device_.loader()));
    plugButton_->setText(encoder.mode() == sim::EncoderMode::Unplugged ? QStringLiteral("Plug In")
                                                                       : QStringLiteral("Unplug"));
}

void VirtualEncoderPage::togglePlug()
{
    if (device_.encoder().mode() == sim::EncoderMode::Unplugged)
        device_.plugIn();
    else
        device_.unplug();
    refresh();
}

VirtualEncoderWindow::VirtualEncoderWindow(sim::VirtualEncoderDevice& device, std::string sampleFolder,
                                           QWidget* parent)
    : VirtualEncoderWindow(std::vector<sim::VirtualEncoderDevice*>{&device}, std::move(sampleFolder), parent)
{
}

VirtualEncoderWindow::VirtualEncoderWindow(const std::vector<sim::VirtualEncoderDevice*>& devices,
                                           std::string sampleFolder, QWidget* parent)
    : QWidget(parent), sampleFolder_(std::move(sampleFolder))
{
    setObjectName(QStringLiteral("virtualEncoderWindow"));
    setWindowTitle(QStringLiteral("Virtual Vardo 710 Encoder"));

    auto* menu = new QMenuBar(this);
    menu->setNativeMenuBar(false);
    menu->setAccessibleName(QStringLiteral("Demo menu bar"));
    QMenu* demo = menu->addMenu(QStringLiteral("Demo"));
    demo->setObjectName(QStringLiteral("demoMenu"));
    demo->addAction(QStringLiteral("Sample Firmware Images..."), this,
                    &VirtualEncoderWindow::showSampleFirmware)
        ->setObjectName(QStringLiteral("sampleFirmwareAction"));
    demo->addAction(QStringLiteral("Open Sample Firmware Folder"), this, [this] {
        platform::dialogs().openUrl(
            QUrl::fromLocalFile(QString::fromStdString(sampleFolder_)).toString().toStdString());
    });
    demo->addSeparator();
    demo->addAction(QStringLiteral("Plug In / Unplug"), this, &VirtualEncoderWindow::togglePlug);

    auto* top = new QVBoxLayout(this);
    top->setMenuBar(menu);
    for (sim::VirtualEncoderDevice* device : devices)
        pages_.push_back(new VirtualEncoderPage(*device, this));
    if (pages_.size() == 1) {
        top->addWidget(pages_.front());
    } else {
        auto* chooserRow = new QHBoxLayout;
        chooser_ = new QComboBox(this);
        chooser_->setObjectName(QStringLiteral("encoderChooser"));
        stack_ = new QStackedWidget(this);
        for (VirtualEncoderPage* page : pages_) {
            chooser_->addItem(page->title());
            // A page with fewer keys than the tallest keeps its rows together at the top.
            static_cast<QBoxLayout*>(page->layout())->addStretch(1);
            stack_->addWidget(page);
        }
        connect(chooser_, &QComboBox::currentIndexChanged, stack_, &QStackedWidget::setCurrentIndex);
        chooserRow->addWidget(new QLabel(QStringLiteral("Port:"), this));
        chooserRow->addWidget(chooser_, 1);
        top->addLayout(chooserRow);
        top->addWidget(stack_);
    }

    auto* samples = new QLabel(
        QStringLiteral("Sample firmware: ")
            + (sampleFolder_.empty() ? QStringLiteral("not built") : QString::fromStdString(sampleFolder_)),
        this);
    samples->setObjectName(QStringLiteral("sampleFolderText"));
    samples->setWordWrap(true);
    samples->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont small = samples->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    samples->setFont(small);
    top->addWidget(samples);

    // Narrow enough to sit beside the 978-pixel self test on a 1280-pixel screen.
    setFixedWidth(290);
    poll_ = new QTimer(this);
    poll_->setInterval(kPollMs);
    connect(poll_, &QTimer::timeout, this, &VirtualEncoderWindow::refresh);
    poll_->start();
}

VirtualEncoderPage* VirtualEncoderWindow::shownPage() const
{
    return stack_ ? static_cast<VirtualEncoderPage*>(stack_->currentWidget()) : pages_.front();
}

void VirtualEncoderWindow::refresh()
{
    for (VirtualEncoderPage* page : pages_)
        page->refresh();
}

std::vector<QPushButton*> VirtualEncoderWindow::keyButtons() const { return shownPage()->keyButtons(); }

void VirtualEncoderWindow::togglePlug() { shownPage()->togglePlug(); }

void VirtualEncoderWindow::showEncoder(int index)
{
    if (chooser_)
        chooser_->setCurrentIndex(index);
}

void VirtualEncoderWindow::showSampleFirmware()
{
    std::string text;
    if (sampleFolder_.empty()) {
        text = "This build made no sample firmware images.";
    } else {
        text = "Firmware images for the virtual encoder, to choose in \"Update Encoder Firmware\":\n";
        const QStringList files =
            QDir(QString::fromStdString(sampleFolder_)).entryList({QStringLiteral("*.txt")}, QDir::Files);
        for (const QString& f : files)
            text += "\n" + sampleFolder_ + "/" + f.toStdString();
        if (files.isEmpty())
            text += "\n(none yet in " + sampleFolder_ + ")";
    }
    platform::dialogs().message("Virtual Encoder", text, platform::MessageIcon::Information);
}

} // namespace vardo::demo
