#include "firmware/firmware_upgrade.h"

struct firmware_upgrade::Impl {
    int ledBrightness = 0;
    int buzzer = 0;
    int buzzerPeriod = 0;
    int keypadType = 0;
    int options = 0;
    std::array<std::uint8_t, 32> keyCodeArray{};
};

firmware_upgrade::firmware_upgrade(QWidget* parent)
    : QWidget(parent, Qt::Window), d(std::make_unique<Impl>())
{
    setWindowTitle(QStringLiteral("Vadro USB Encoder Firmware Upgrade"));
    setFixedSize(664, 387);
}

firmware_upgrade::~firmware_upgrade() = default;

void firmware_upgrade::setRestoreValues(int ledBrightness, int buzzer, int buzzerPeriod,
                                        int keypadType, int options,
                                        const std::array<std::uint8_t, 32>& keyCodeArray)
{
    d->ledBrightness = ledBrightness;
    d->buzzer = buzzer;
    d->buzzerPeriod = buzzerPeriod;
    d->keypadType = keypadType;
    d->options = options;
    d->keyCodeArray = keyCodeArray;
}
