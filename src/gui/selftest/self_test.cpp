#include "selftest/self_test.h"

#include "link/encoder_commands.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/mouse_click_button.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFont>
#include <QKeyEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QThread>

using vardo::selftest::CheckTarget;
using vardo::selftest::SelfTestSequence;
using vardo::selftest::TestRow;
using vardo::selftest::TextTarget;

namespace {

constexpr int kClientWidth = 978;
constexpr int kClientHeight = 565;
constexpr std::uint32_t kUpdatePauseMs = 80;
const char* const kFontFamily = "Microsoft Sans Serif";

QFont sansFont(double points, bool bold = false)
{
    QFont f(QString::fromLatin1(kFontFamily));
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

QColor lightGreen() { return QColor(QStringLiteral("lightgreen")); }

void setBackground(QWidget* w, QPalette::ColorRole role, const QColor& colour)
{
    QPalette p = w->palette();
    p.setColor(role, colour);
    w->setPalette(p);
}

void paintLabel(QLabel* label, const QColor& colour)
{
    label->setAutoFillBackground(true);
    setBackground(label, QPalette::Window, colour);
}

// Runs f on obj's thread and waits for it; at once when already there.
template <typename F>
void onThreadOf(QObject* obj, F&& f)
{
    if (QThread::currentThread() == obj->thread())
        f();
    else
        QMetaObject::invokeMethod(obj, std::forward<F>(f), Qt::BlockingQueuedConnection);
}

} // namespace

namespace vardo::selftest {

// The sequence's view of the window: every change is made on the window's
// thread while the worker waits.
class WindowSelfTestView final : public SelfTestView {
public:
    explicit WindowSelfTestView(self_test& window) : window_(window) {}

    void AddTextToObject(TextTarget target, const std::string& text) override
    {
        self_test::AddTextToObject(&window_, window_.label(target), QString::fromStdString(text));
    }

    void AmendCheckBox(CheckTarget target, bool checked) override
    {
        self_test::AmendCheckBox(&window_, window_.checkBox(target), checked, QStringLiteral(" "));
    }

    void highlightRow(TestRow row) override
    {
        onThreadOf(&window_, [this, row] {
            switch (row) {
            case TestRow::Led:
                paintLabel(window_.ledLbl, lightGreen());
                paintLabel(window_.ledColourLbl, lightGreen());
                break;
            case TestRow::Brightness:
                paintLabel(window_.ledBrightnessLbl, lightGreen());
                paintLabel(window_.ledLevelLbl, lightGreen());
                break;
            case TestRow::Buzzer:
                paintLabel(window_.buzzerLbl, lightGreen());
                paintLabel(window_.buzzerPeriodLbl, lightGreen());
                break;
            }
        });
    }

    // The dialogs seam carries the box onto the window's thread and waits for it.
    void showMessage(const std::string& text) override
    {
        platform::dialogs().message(messages::kCaption, text + messages::kLineBreak,
                                    platform::MessageIcon::Warning);
    }

    void lightPicture(int picture) override
    {
        if (picture < 1 || picture > 16)
            return;
        onThreadOf(&window_, [this, picture] {
            setBackground(window_.picture(picture), QPalette::Button, lightGreen());
        });
    }

private:
    self_test& window_;
};

} // namespace vardo::selftest

self_test::self_test(std::shared_ptr<vardo::device::EncoderSlot> encoder, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , port_(std::make_unique<vardo::selftest::EncoderSelfTestPort>(encoder))
    , view_(std::make_unique<vardo::selftest::WindowSelfTestView>(*this))
    , sequence_(std::make_unique<SelfTestSequence>(*port_, *view_, closeForm))
{
    portLock_ = vardo::device::lockForOperation(encoder ? encoder->get().get() : nullptr,
                                                [this](const std::string& why) { view_->showMessage(why); });
    setObjectName(QStringLiteral("self_test"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Self Test"));
    setFixedSize(kClientWidth, kClientHeight);
    setFont(sansFont(8.25));
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    buildControls();
    InitializeSelfTest();
}

self_test::~self_test()
{
    destroying_ = true;
    if (!workerStarted_ || completed_)
        return;
    closeForm = 1;
    // The worker may be waiting for this thread (a window update or a message
    // box), so keep serving those until it has ended, the encoder restored.
    while (!backgroundWorker1->wait(QDeadlineTimer(10))) {
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
    }
    completed_ = true;
}

bool self_test::running() const
{
    return backgroundWorker1 && backgroundWorker1->isRunning();
}

void self_test::buildControls()
{
    auto makeLabel = [this](const char* name, const char* text, double points, QRect geometry,
                            bool enabled) {
        auto* l = new QLabel(QString::fromLatin1(text), this);
        l->setObjectName(QString::fromLatin1(name));
        l->setFont(sansFont(points));
        l->setGeometry(geometry);
        l->setEnabled(enabled);
        return l;
    };
    auto makeCheck = [this](const char* name, QRect geometry, const char* accessibleName) {
        auto* c = new QCheckBox(this);
        c->setObjectName(QString::fromLatin1(name));
        c->setAccessibleName(QString::fromLatin1(accessibleName));
        c->setStyleSheet(QStringLiteral("QCheckBox::indicator { width: 22px; height: 22px; }"));
        c->setGeometry(geometry);
        return c;
    };

    constexpr int captionX = 30, captionW = 320, valueX = 360, valueW = 300, checkX = 690;
    constexpr int rowH = 45;
    const int rowY[4] = {90, 150, 210, 270};

    label3 = makeLabel("label3", "SELF TEST", 24, QRect(370, 15, 260, 50), true);
    ledLbl = makeLabel("ledLbl", "Testing Led", 18, QRect(captionX, rowY[0], captionW, rowH), false);
    ledColourLbl = makeLabel("ledColourLbl", "RED LED", 22.2, QRect(valueX, rowY[0], valueW, rowH), false);
    ledCheckBox = makeCheck("ledCheckBox", QRect(checkX, rowY[0] + 12, 24, 24), "LED test passed");
    ledBrightnessLbl = makeLabel("ledBrightnessLbl", "Testing Led Brightness ", 18,
                                 QRect(captionX, rowY[1], captionW, rowH), false);
    ledLevelLbl = makeLabel("ledLevelLbl", "2", 22.2, QRect(valueX, rowY[1], valueW, rowH), false);
    brightnessCheckBox = makeCheck("brightnessCheckBox", QRect(checkX, rowY[1] + 12, 24, 24),
                                   "LED brightness test passed");
    buzzerLbl = makeLabel("buzzerLbl", "Testing Buzzer Period", 18,
                          QRect(captionX, rowY[2], captionW, rowH), false);
    buzzerPeriodLbl = makeLabel("buzzerPeriodLbl", "1", 22.2, QRect(valueX, rowY[2], valueW, rowH), false);
    buzzerCheckBox = makeCheck("buzzerCheckBox", QRect(checkX, rowY[2] + 12, 24, 24), "Buzzer test passed");
    label4 = makeLabel("label4", "Testing Keypad", 18, QRect(captionX, rowY[3], captionW, rowH), false);
    keypadLbl = makeLabel("keypadLbl", "16 Way", 22.2, QRect(valueX, rowY[3], valueW, rowH), false);

    // The 4 x 4 key pictures, button1 top left, row by row.
    constexpr int gridX = 360, gridY = 330, cellW = 75, cellH = 55;
    for (int n = 1; n <= 16; ++n) {
        const QString name = QStringLiteral("button%1").arg(n);
        auto* b = new QPushButton(name, this);
        b->setObjectName(name);
        b->setFont(sansFont(12, true));
        b->setGeometry(gridX + ((n - 1) % 4) * cellW, gridY + ((n - 1) / 4) * cellH, cellW - 5,
                       cellH - 5);
        b->setVisible(false);
        b->setEnabled(false);
        b->setFocusPolicy(Qt::NoFocus);
        b->setAccessibleName(QStringLiteral("Key picture %1").arg(n));
        pictures_[static_cast<std::size_t>(n - 1)] = b;
    }

    // Stopping the test answers a mouse click only.
    endBtn = new vardo::ui::MouseClickButton(QStringLiteral("Close"), this);
    endBtn->setObjectName(QStringLiteral("endBtn"));
    endBtn->setAccessibleName(QStringLiteral("Close"));
    endBtn->setFont(sansFont(18));
    endBtn->setGeometry(790, 480, 160, 55);
    connect(endBtn, &QPushButton::clicked, this, &self_test::onEndTest);
}

void self_test::InitializeSelfTest()
{
    closeForm = 0;
    ledColour = {"WHITE", "GREEN", "RED"};
    backGroundColour = picture(1)->palette().color(QPalette::Button);
    for (QLabel* l : {ledLbl, ledColourLbl, ledBrightnessLbl, ledLevelLbl, buzzerLbl, buzzerPeriodLbl})
        paintLabel(l, backGroundColour);
    for (QCheckBox* c : {ledCheckBox, brightnessCheckBox, buzzerCheckBox})
        c->setChecked(false);
    // Another program (or window) drives the encoder: said already, nothing starts.
    if (!portLock_)
        return;

    // The status read waits on the encoder too: it is the worker's first step.
    backgroundWorker1 = QThread::create([this] { backgroundWorker1_DoWork(); });
    backgroundWorker1->setParent(this);
    connect(backgroundWorker1, &QThread::finished, this,
            &self_test::backgroundWorker1_RunWorkerCompleted, Qt::QueuedConnection);
    workerStarted_ = true;
    starting_ = true;
    backgroundWorker1->start();
}

void self_test::showStatus()
{
    if (state_.optionsFitted & vardo::link::kOptionLedColour)
        ledColourLbl->setText(QString::fromStdString(vardo::selftest::colourName(state_.ledColour)));
    ledLevelLbl->setText((state_.optionsFitted & vardo::link::kOptionLedBrightness)
                             ? QString::number(state_.ledBrightness)
                             : QStringLiteral("NOT INSTALLED"));
    buzzerPeriodLbl->setText((state_.optionsFitted & vardo::link::kOptionBuzzer)
                                 ? QString::number(state_.buzzerPeriod)
                                 : QStringLiteral("NOT INSTALLED"));

    if (auto text = vardo::selftest::keypadText(state_.keypadType))
        keypadLbl->setText(QString::fromStdString(*text));
    const std::vector<int> used = vardo::selftest::keypadPictures(state_.keypadType);
    for (std::size_t key = 0; key < used.size(); ++key) {
        QPushButton* b = picture(used[key]);
        b->setText(QString::number(key + 1));
        b->setAccessibleName(QStringLiteral("Key %1").arg(key + 1));
        b->setVisible(true);
    }
    starting_ = false;
}

int self_test::GetDeviceStatusMessage()
{
    return port_->GetDeviceStatusMessage(state_);
}

void self_test::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!loaded_) {
        loaded_ = true;
        self_test_Load();
    }
}

void self_test::self_test_Load()
{
    endBtn->setEnabled(true);
}

void self_test::onEndTest()
{
    endBtn->setEnabled(false);
    closeForm = 1;
}

void self_test::closeEvent(QCloseEvent* event)
{
    // While the test runs, closing asks the worker to stop; the completion then
    // restores the encoder and closes the window.
    if (running() && !completed_) {
        onEndTest();
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void self_test::keyPressEvent(QKeyEvent* event)
{
    if (event->key() != Qt::Key_Escape) {
        QWidget::keyPressEvent(event);
        return;
    }
    if (running() && !completed_)
        onEndTest();
    else
        close();
}

void self_test::backgroundWorker1_DoWork()
{
    if (GetDeviceStatusMessage() != 0) {
        view_->showMessage(vardo::selftest::kStatusError);
        statusFailed_ = true;
        return;
    }
    onThreadOf(this, [this] { showStatus(); });
    sequence_->run(state_);
    // The encoder's period, brightness and mode go back before the window hears of the end.
    sequence_->complete(state_);
}

void self_test::backgroundWorker1_RunWorkerCompleted()
{
    starting_ = false;
    if (completed_ || destroying_)
        return;
    completed_ = true;
    // A failed status read leaves an idle window, closed by the operator.
    if (statusFailed_)
        return;
    emit verdict(QString::fromStdString(sequence_->verdict(state_)));
    portLock_.reset();
    close();
}

QLabel* self_test::label(TextTarget target) const
{
    switch (target) {
    case TextTarget::ledColourLbl: return ledColourLbl;
    case TextTarget::ledLevelLbl: return ledLevelLbl;
    case TextTarget::buzzerPeriodLbl: return buzzerPeriodLbl;
    case TextTarget::keypadLbl: return keypadLbl;
    }
    return ledLevelLbl;
}

QCheckBox* self_test::checkBox(CheckTarget target) const
{
    switch (target) {
    case CheckTarget::ledCheckBox: return ledCheckBox;
    case CheckTarget::brightnessCheckBox: return brightnessCheckBox;
    case CheckTarget::buzzerCheckBox: return buzzerCheckBox;
    }
    return ledCheckBox;
}

void self_test::AddTextToObject(QObject* obj, QLabel* txtBox, const QString& str)
{
    onThreadOf(obj, [txtBox, str] { txtBox->setText(str); });
    // The pause is the worker's: the window goes on drawing meanwhile.
    vardo::platform::sleepMs(kUpdatePauseMs);
}

void self_test::AmendCheckBox(QObject* obj, QCheckBox* chkBox, bool checked, const QString& /*str*/)
{
    onThreadOf(obj, [chkBox, checked] { chkBox->setChecked(checked); });
    vardo::platform::sleepMs(kUpdatePauseMs);
}
