#pragma once
// One open encoder and the operations that both front ends use on it: the
// windows and the command-line tool reach the encoder only through here, so
// each behaviour is written once. Qt-free. Every operation returns a typed
// Result; outcome.h turns results into the operator's texts.
#include <hidapi.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "link/code_table.h"
#include "device/encoder_choice.h"
#include "link/encoder_commands.h"
#include "link/hid_transport.h"
#include "link/result.h"

namespace vardo::device {

// The operations' results are the link's (link/result.h).
using link::Result;
using link::resultOf;

// The five settings of the main window's boxes.
enum class Setting { LedBrightness, LedColour, Buzzer, BuzzerPeriod, KeypadType };

// How long the encoder needs to restart after FACTORY_RESET.
inline constexpr std::uint32_t kFactoryResetWaitMs = 3000;

// What a stored configuration sends, read and checked before the first command.
struct Configuration {
    std::uint8_t keypadType = 0;
    bool sendTable = false;   // customised layouts only
    link::CodeTable codeTable{};
    std::uint8_t ledBrightness = 0;
    std::uint8_t ledColour = 0;
    std::uint8_t buzzer = 0;
    std::uint8_t buzzerPeriod = 0;
};

// The commands of applyConfiguration in their order; failedStep names the one that failed.
enum class ConfigurationStep { KeypadType, CodeTable, LedBrightness, LedColour, Buzzer, BuzzerPeriod };

// The write-back's commands in their order; failedStep names the one that failed.
enum class WriteBackStep { Options, Buzzer, BuzzerPeriod, KeypadType, CodeTable, LedBrightness, SaveDefaults };

// How the steps before a firmware upgrade went.
struct UpgradePreparation {
    Result statusRead = Result::NoDevice;
    bool stopped = false;                     // the caller chose not to go on: no ENTER_BSL
    Result loaderEntered = Result::NoDevice;  // ENTER_BSL's result, when it was sent
};

class Encoder {
public:
    // The first encoder command interface on the bus (ScanForUSBDevice_a), or
    // the one on the port chosen among several (encoder_choice.h); null when none opens.
    [[nodiscard]] static std::unique_ptr<Encoder> openFirst();
    // The encoder at path (as hid_enumerate lists it), non-blocking; null when it does not open.
    [[nodiscard]] static std::unique_ptr<Encoder> open(const std::string& path);
    // Adopts an open handle (not null); it is closed with the encoder.
    explicit Encoder(hid_device* handle);
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Closes the handle after any exchange in progress; every later operation
    // returns NoDevice. The destructor does the same.
    void close();

    // Where the encoder was opened (path, USB port, serial number): recorded
    // when it was opened by path, else read from its handle; all "" once closed.
    AttachedEncoder identity();
    void setIdentity(AttachedEncoder identity) { identity_ = std::move(identity); }
    // False once the encoder's interface has left the bus (unplugged,
    // restarted); true while it is listed, or when its path is not known.
    [[nodiscard]] bool attached() const;

    // GET_STATUS. On Ok the settings and version are replaced and the reported
    // table section is copied over the start of status.codeTable; on failure
    // status is unchanged.
    [[nodiscard]] Result readStatus(link::DeviceStatus& status);
    // The setting's command with payload as sent (the buzzer period is one above the box index).
    [[nodiscard]] Result set(Setting setting, std::uint8_t payload);
    [[nodiscard]] Result loadTable(const link::CodeTable& table);
    // WRITE_DEFAULTS: the encoder keeps its current settings over a power cycle.
    [[nodiscard]] Result saveDefaults();
    // FACTORY_RESET, then the encoder's restart time on the platform clock. The
    // result is the command's, which a restarting encoder may never send.
    Result factoryReset();
    // The configuration's commands in order (the table only when sendTable),
    // stopping at the first failure, which failedStep names.
    [[nodiscard]] Result applyConfiguration(const Configuration& configuration,
                                            ConfigurationStep& failedStep);

    // SELF_TEST start (true) or end (false).
    [[nodiscard]] Result selfTest(bool start);
    [[nodiscard]] Result soundBuzzer(std::uint8_t level);
    // One self-test key report within timeoutMs: its first data byte (a key
    // index, or link::kNoKey when the encoder ended the test), or nothing for a
    // report without data. Timeout when none came.
    [[nodiscard]] Result awaitKey(std::optional<std::uint8_t>& key, std::int32_t timeoutMs);

    // ENTER_BSL: the encoder restarts as a loader device, so no reply is expected.
    [[nodiscard]] Result enterLoader();
    // The steps before a firmware upgrade: GET_STATUS into settings, then
    // settingsRead(the read's result), where the caller keeps the settings for
    // the write-back (and a backup of them) or says why it cannot, returning
    // whether to go on; then ENTER_BSL. No lock is held while settingsRead runs.
    UpgradePreparation prepareUpgrade(link::DeviceStatus& settings,
                                      const std::function<bool(Result statusRead)>& settingsRead);
    // After a firmware upgrade, the settings read before it go back into the
    // new firmware: SET_OPTIONS, SET_BUZZER, SET_BUZZER_PERIOD, SET_KEYPAD_TYPE,
    // LOAD_CODE_TABLE, SET_LED_BRIGHTNESS (one-byte values take the low 8 bits)
    // and WRITE_DEFAULTS, stopping at the first failure, which failedStep names.
    [[nodiscard]] Result writeBack(const link::DeviceStatus& settings, WriteBackStep& failedStep);

private:
    [[nodiscard]] Result send(link::EncoderCommand code, std::span<const std::uint8_t> payload = {});
    [[nodiscard]] Result sendByte(link::EncoderCommand code, std::uint8_t value);

    // The one lock of this encoder: held for every exchange on handle_ and across
    // the sequences that must not be split; recursive so that they nest.
    std::recursive_mutex mutex_;
    hid_device* handle_;
    AttachedEncoder identity_;
};

// The encoder a window works with: the main window's re-scans replace it while
// the windows that borrow it (self test, code table editor, firmware upgrade)
// take it for each operation, so they always use the current one. Thread-safe.
class EncoderSlot {
public:
    EncoderSlot() = default;
    ~EncoderSlot();
    EncoderSlot(const EncoderSlot&) = delete;
    EncoderSlot& operator=(const EncoderSlot&) = delete;

    // The current encoder; null when none is open.
    std::shared_ptr<Encoder> get() const;
    // Closes the current encoder (and shuts the HID library down, as a re-scan
    // always has) and opens the first one on the bus. True when one was found.
    bool rescan();
    // Closes the current encoder and shuts the HID library down when one was
    // open; nothing at all otherwise.
    void close();
    // Replaces the current encoder without a scan (closing the old one).
    void adopt(std::unique_ptr<Encoder> encoder);
    // True when there is no encoder to talk to: none open, or the open one has
    // left the bus. Tells "the encoder went away" from "the encoder refused".
    [[nodiscard]] bool lost() const;

    // f(encoder) on the current encoder, or NoDevice when there is none.
    template <typename F>
    Result with(F&& f) const
    {
        const std::shared_ptr<Encoder> encoder = get();
        return encoder ? std::forward<F>(f)(*encoder) : Result::NoDevice;
    }

private:
    std::shared_ptr<Encoder> takeCurrent();
    mutable std::mutex mutex_;
    std::shared_ptr<Encoder> current_;
};

} // namespace vardo::device
