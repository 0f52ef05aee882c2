#pragma once
// The demo's window onto the virtual encoder: its LED, its buzzer, its keypad
// (keys can be pressed, for the self test or to type) and its USB plug. It only
// reads the encoder's thread-safe state on a timer and queues key presses; the
// encoder answers the utility's exchanges on its own.
#include <QWidget>

#include "link/code_table.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class QComboBox;
class QGridLayout;
class QLabel;
class QPushButton;
class QStackedWidget;
class QTimer;

namespace vardo::sim {
class VirtualEncoderDevice;
}

namespace vardo::demo {

// The LED as a painted lamp: colour by index, brightness by level 0-9.
class LedLamp : public QWidget {
    Q_OBJECT
public:
    explicit LedLamp(QWidget* parent = nullptr);
    void setState(int level, int colourIndex);
    int level() const { return level_; }
    QColor shownColour() const;
    QSize sizeHint() const override { return {52, 52}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int level_ = 0;
    int colour_ = 0;
};

// One encoder's LED, buzzer, keypad and plug.
class VirtualEncoderPage : public QWidget {
    Q_OBJECT
public:
    explicit VirtualEncoderPage(sim::VirtualEncoderDevice& device, QWidget* parent = nullptr);

    // Reads the encoder's state and redraws what changed.
    void refresh();
    // The key buttons of the layout in force, key 1 first.
    std::vector<QPushButton*> keyButtons() const { return keys_; }
    void togglePlug();
    // Its USB port and serial number, e.g. "1-2   VE710-000002".
    QString title() const;

private:
    void rebuildKeypad(int keyCount);
    QString keyCaption(int key) const;

    sim::VirtualEncoderDevice& device_;
    LedLamp* lamp_ = nullptr;
    QLabel* ledText_ = nullptr;
    QLabel* buzzerIcon_ = nullptr;
    QLabel* buzzerText_ = nullptr;
    QLabel* modeText_ = nullptr;
    QLabel* typedText_ = nullptr;
    QLabel* layoutText_ = nullptr;
    QGridLayout* keypad_ = nullptr;
    QPushButton* plugButton_ = nullptr;
    std::vector<QPushButton*> keys_;
    std::uint64_t seenRevision_ = ~std::uint64_t{0};
    int shownLayout_ = -1;
    vardo::link::CodeTable shownTable_{};
};

// With several encoders a chooser at the top picks the page shown; with one
// the window is just its page.
class VirtualEncoderWindow : public QWidget {
    Q_OBJECT
public:
    // sampleFolder: where the sample firmware images lie ("" when unknown).
    VirtualEncoderWindow(sim::VirtualEncoderDevice& device, std::string sampleFolder,
                         QWidget* parent = nullptr);
    // devices: at least one, in the chooser's order; they outlive the window.
    VirtualEncoderWindow(const std::vector<sim::VirtualEncoderDevice*>& devices, std::string sampleFolder,
                         QWidget* parent = nullptr);

    // Reads every encoder's state and redraws what changed (the timer calls it).
    void refresh();
    // The shown encoder's key buttons, key 1 first.
    std::vector<QPushButton*> keyButtons() const;
    // Plugs or unplugs the shown encoder.
    void togglePlug();
    const std::vector<VirtualEncoderPage*>& pages() const { return pages_; }
    void showEncoder(int index);
    // Shows where the sample firmware images are.
    void showSampleFirmware();

private:
    VirtualEncoderPage* shownPage() const;

    std::string sampleFolder_;
    std::vector<VirtualEncoderPage*> pages_;
    QComboBox* chooser_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QTimer* poll_ = nullptr;
};

} // namespace vardo::demo
