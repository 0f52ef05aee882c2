#include "device/encoder.h"

#include "device/encoder_choice.h"

#include "link/usb_port.h"
#include "platform/clock.h"
#include "platform/hid_bus.h"
#include "platform/text8.h"

#include <array>
#include <utility>

namespace vardo::device {

namespace {

link::EncoderCommand commandOf(Setting setting)
{
    switch (setting) {
    case Setting::LedBrightness:
        return link::SET_LED_BRIGHTNESS;
    case Setting::LedColour:
        return link::SET_LED_COLOUR;
    case Setting::Buzzer:
        return link::SET_BUZZER;
    case Setting::BuzzerPeriod:
        return link::SET_BUZZER_PERIOD;
    case Setting::KeypadType:
        break;
    }
    return link::SET_KEYPAD_TYPE;
}

} // namespace

// ---- Encoder ------------------------------------------------------------------

std::unique_ptr<Encoder> Encoder::openFirst()
{
    // Of several encoders, the one on the port the operator chose, while it is there.
    if (const std::string port = chosenEncoderPort(); !port.empty())
        for (const auto& e : attachedEncoders())
            if (e.port == port)
                if (auto chosen = open(e.path))
                    return chosen;
    char manufacturer[link::kNameBufferSize] = {};
    char product[link::kNameBufferSize] = {};
    hid_device* handle =
        ScanForUSBDevice_a(link::kEncoderVendorId, link::kEncoderProductId, manufacturer, product);
    if (!handle)
        return nullptr;
    auto encoder = std::make_unique<Encoder>(handle);
    // The scan opens the first command interface listed; so is this one.
    if (const auto listed = attachedEncoders(); !listed.empty())
        encoder->setIdentity(listed.front());
    return encoder;
}

std::unique_ptr<Encoder> Encoder::open(const std::string& path)
{
    hid_device* handle = nullptr;
    {
        const std::lock_guard busLock(vardo::platform::hidBusMutex());
        handle = hid_open_path(path.c_str());
    }
    if (!handle)
        return nullptr;
    hid_set_nonblocking(handle, 1);
    auto encoder = std::make_unique<Encoder>(handle);
    AttachedEncoder identity{{}, {}, path};
    for (const auto& e : attachedEncoders())
        if (e.path == path)
            identity = e;
    encoder->setIdentity(std::move(identity));
    return encoder;
}

bool Encoder::attached() const
{
    if (identity_.path.empty())
        return true;
    for (const auto& e : attachedEncoders())
        if (e.path == identity_.path)
            return true;
    return false;
}

Encoder::Encoder(hid_device* handle) : handle_(handle) {}

Encoder::~Encoder() { close(); }

void Encoder::close()
{
    std::lock_guard lock(mutex_);
    if (handle_)
        hid_close(handle_);
    handle_ = nullptr;
}

AttachedEncoder Encoder::identity()
{
    std::lock_guard lock(mutex_);
    if (!handle_)
        return {};
    if (!identity_.path.empty())
        return identity_;
    const hid_device_info* info = hid_get_device_info(handle_);
    if (!info || !info->path)
        return {};
    return {link::usbPortOf(info->path), info->serial_number ? platform::narrowLow8(info->serial_number) : "",
            info->path};
}

Result Encoder::send(link::EncoderCommand code, std::span<const std::uint8_t> payload)
{
    std::lock_guard lock(mutex_);
    return link::sendCommand(handle_, code, payload);
}

Result Encoder::sendByte(link::EncoderCommand code, std::uint8_t value)
{
    const std::uint8_t payload[1] = {value};
    return send(code, payload);
}

Result Encoder::readStatus(link::DeviceStatus& status)
{
    std::lock_guard lock(mutex_);
    return link::readDeviceStatus(handle_, status);
}

Result Encoder::set(Setting setting, std::uint8_t payload) { return sendByte(commandOf(setting), payload); }

Result Encoder::loadTable(const link::CodeTable& table) { return send(link::LOAD_CODE_TABLE, table); }

Result Encoder::saveDefaults() { return send(link::WRITE_DEFAULTS); }

Result Encoder::factoryReset()
{
    const Result sent = send(link::FACTORY_RESET);
    platform::sleepMs(kFactoryResetWaitMs);
    return sent;
}

Result Encoder::applyConfiguration(const Configuration& c, ConfigurationStep& failedStep)
{
    // The whole sequence at once: no other exchange on this encoder comes between.
    std::lock_guard lock(mutex_);
    failedStep = ConfigurationStep::KeypadType;
    if (Result r = set(Setting::KeypadType, c.keypadType); r != Result::Ok)
        return r;
    failedStep = ConfigurationStep::CodeTable;
    if (c.sendTable)
        if (Result r = loadTable(c.codeTable); r != Result::Ok)
            return r;
    const struct {
        ConfigurationStep step;
        Setting setting;
        std::uint8_t value;
    } settings[] = {
        {ConfigurationStep::LedBrightness, Setting::LedBrightness, c.ledBrightness},
        {ConfigurationStep::LedColour, Setting::LedColour, c.ledColour},
        {ConfigurationStep::Buzzer, Setting::Buzzer, c.buzzer},
        {ConfigurationStep::BuzzerPeriod, Setting::BuzzerPeriod, c.buzzerPeriod},
    };
    for (const auto& s : settings) {
        failedStep = s.step;
        if (Result r = set(s.setting, s.value); r != Result::Ok)
            return r;
    }
    return Result::Ok;
}

Result Encoder::selfTest(bool start)
{
    return sendByte(link::SELF_TEST, start ? link::kSelfTestStart : link::kSelfTestEnd);
}

Result Encoder::soundBuzzer(std::uint8_t level) { return sendByte(link::SOUND_BUZZER, level); }

Result Encoder::awaitKey(std::optional<std::uint8_t>& key, std::int32_t timeoutMs)
{
    std::array<std::uint8_t, link::kReportSize> reply{};
    std::uint32_t length = 0;
    std::lock_guard lock(mutex_);
    const Result r = resultOf(USBEncoderReceive_a(handle_, link::SELF_TEST, reply.data(),
                                                  static_cast<std::int32_t>(reply.size()), &length,
                                                  timeoutMs));
    if (r != Result::Ok)
        return r;
    key = length > 0 ? std::optional<std::uint8_t>(reply[0]) : std::nullopt;
    return Result::Ok;
}

Result Encoder::enterLoader() { return send(link::ENTER_BSL); }

UpgradePreparation Encoder::prepareUpgrade(link::DeviceStatus& settings,
                                           const std::function<bool(Result statusRead)>& settingsRead)
{
    UpgradePreparation p;
    p.statusRead = readStatus(settings);
    if (!settingsRead(p.statusRead)) {
        p.stopped = true;
        return p;
    }
    p.loaderEntered = enterLoader();
    return p;
}

Result Encoder::writeBack(const link::DeviceStatus& s, WriteBackStep& failedStep)
{
    std::lock_guard lock(mutex_);
    auto low = [](int value) { return static_cast<std::uint8_t>(value & 0xFF); };
    const struct {
        WriteBackStep step;
        link::EncoderCommand command;
        std::uint8_t value;
    } bytes[] = {
        {WriteBackStep::Options, link::SET_OPTIONS, low(s.optionsFitted)},
        {WriteBackStep::Buzzer, link::SET_BUZZER, low(s.buzzer)},
        {WriteBackStep::BuzzerPeriod, link::SET_BUZZER_PERIOD, low(s.buzzerPeriod)},
        {WriteBackStep::KeypadType, link::SET_KEYPAD_TYPE, low(s.keypadType)},
    };
    for (const auto& b : bytes) {
        failedStep = b.step;
        if (Result r = sendByte(b.command, b.value); r != Result::Ok)
            return r;
    }
    failedStep = WriteBackStep::CodeTable;
    if (Result r = loadTable(s.codeTable); r != Result::Ok)
        return r;
    failedStep = WriteBackStep::LedBrightness;
    if (Result r = set(Setting::LedBrightness, low(s.ledBrightness)); r != Result::Ok)
        return r;
    failedStep = WriteBackStep::SaveDefaults;
    return saveDefaults();
}

// ---- EncoderSlot ----------------------------------------------------------------

EncoderSlot::~EncoderSlot() = default;

std::shared_ptr<Encoder> EncoderSlot::get() const
{
    std::lock_guard lock(mutex_);
    return current_;
}

std::shared_ptr<Encoder> EncoderSlot::takeCurrent()
{
    std::lock_guard lock(mutex_);
    return std::exchange(current_, nullptr);
}

void EncoderSlot::close()
{
    if (const std::shared_ptr<Encoder> old = takeCurrent()) {
        // A window that still holds it finds it closed (NoDevice), never a dangling handle.
        old->close();
        const std::lock_guard busLock(vardo::platform::hidBusMutex());
        hid_exit();
    }
}

bool EncoderSlot::rescan()
{
    close();
    std::shared_ptr<Encoder> found = Encoder::openFirst();
    const bool present = found != nullptr;
    std::lock_guard lock(mutex_);
    current_ = std::move(found);
    return present;
}

bool EncoderSlot::lost() const
{
    const std::shared_ptr<Encoder> encoder = get();
    return !encoder || !encoder->attached();
}

void EncoderSlot::adopt(std::unique_ptr<Encoder> encoder)
{
    if (const std::shared_ptr<Encoder> old = takeCurrent())
        old->close();
    std::lock_guard lock(mutex_);
    current_ = std::move(encoder);
}

} // namespace vardo::device
