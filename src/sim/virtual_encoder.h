#pragma once
// The virtual encoder's application face: a stateful keypad encoder on the
// virtual bus with a keyboard interface (0, silent) and the command interface
// (1) that answers the thirteen commands with real reply frames. Replies are
// worked out inside the host's write and become readable after a delay on the
// platform clock, so tests on the virtual clock run instantly and the demo on
// the real clock behaves like hardware. Every public call is thread-safe.
// Qt-free.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vardo::sim {

inline constexpr std::size_t kEncoderTableBytes = 32;
using EncoderTable = std::array<std::uint8_t, kEncoderTableBytes>;

// What the encoder keeps in its settings memory.
struct EncoderSettings {
    std::uint8_t ledBrightness = 5;  // 0-9
    std::uint8_t ledColour = 0;      // 0 white, 1 green, 2 red
    std::uint8_t buzzer = 1;         // 0 off, 1 on
    std::uint8_t optionsFitted = 7;  // bit 0 LED colour, bit 1 LED brightness, bit 2 buzzer
    std::uint8_t buzzerPeriod = 1;   // 0-10
    std::uint8_t keypadType = 0;     // 0-8
    // The customised tables of layouts 2, 5 and 8, in that order.
    std::array<EncoderTable, 3> customTables{};

    // The settings an encoder leaves the factory with (custom tables a, b, c ...).
    static EncoderSettings factory();
    bool operator==(const EncoderSettings&) const = default;
};

enum class EncoderMode {
    Application,  // on the bus, answering commands
    Unplugged,    // taken off the bus by unplug()
    Resetting,    // off the bus after FACTORY_RESET, back after the re-enumeration delay
    BootLoader,   // off the HID bus after ENTER_BSL, until restartApplication() or plugIn()
};

struct ReceivedCommand {
    std::uint64_t atMs = 0;            // platform clock
    std::uint8_t code = 0;
    std::vector<std::uint8_t> payload;
    bool accepted = false;             // executed and answered with status 0
};

// A key press typed on the keyboard interface (outside self-test mode).
struct KeyStroke {
    std::uint64_t atMs = 0;
    int key = 0;                       // 0-15
    std::uint8_t modifier = 0;
    std::uint8_t usage = 0;
};

enum class EncoderFault {
    Refuse,             // reply byte 2 = 0x0F; the command is not executed
    Silence,            // the command is lost: not executed, no reply
    LateReply,          // executed; the reply comes lateByMs after the command
    BadChecksum,        // executed; the reply's checksum is wrong
    BadLength,          // executed; the reply's length field does not fit its frame
    ByteCountTooLarge,  // executed; reply byte 1 = 0x41
    ShortStatus,        // GET_STATUS only: a valid frame whose status message lacks its last byte
};

struct FaultPlan {
    EncoderFault fault = EncoderFault::Refuse;
    bool persistent = false;   // false: spent on the first command it applies to
    int command = -1;          // -1: any command; else only this command code
    std::uint32_t lateByMs = 6000;
};

struct VirtualEncoderConfig {
    // Bus port; the interfaces are "<port>:1.0" (keyboard) and "<port>:1.1" (commands).
    std::string port = "sim:1-1";
    std::uint16_t vendorId = 0x2047;
    std::uint16_t productId = 0x0902;
    std::wstring manufacturer = L"Vardo Interface";
    std::wstring product = L"Vardo 710 Encoder";
    std::wstring serial = L"VE710-000001";
    std::string firmwareVersion = "01.05A";          // six characters
    EncoderSettings factorySettings = EncoderSettings::factory();
    std::uint32_t replyDelayMs = 1;
    int ackReports = 0;                              // ACK reports before every reply
    std::uint32_t ackSpacingMs = 1;                  // between ACKs (the first one too)
    std::uint32_t reenumerateDelayMs = 1500;         // off the bus after FACTORY_RESET
    std::uint32_t keyTestQuietMs = 10000;            // self-test key test ends after this quiet time
    bool openable = true;                            // false: present, permission denied
    bool plugIn = true;                              // attach at construction
};

class VirtualEncoder {
public:
    explicit VirtualEncoder(VirtualEncoderConfig config = {});
    // Leaves the bus; handles still open go stale.
    ~VirtualEncoder();
    VirtualEncoder(const VirtualEncoder&) = delete;
    VirtualEncoder& operator=(const VirtualEncoder&) = delete;

    // ---- fixed facts ------------------------------------------------------
    // The table a layout sends: predefined for 0, 1, 3, 4, 6, 7; all zero for the
    // customised ones (see customTables) and unknown codes.
    static EncoderTable predefinedTable(int layout);
    // 4, 12 or 16 keys; codes above 8 count as 16 keys.
    static int keyCount(int layout);
    // "GET_STATUS" ... "SOUND_BUZZER"; "UNKNOWN" otherwise.
    static const char* commandName(std::uint8_t code);

    std::string commandPath() const;   // interface 1
    std::string keyboardPath() const;  // interface 0
    std::string usbPort() const;       // "1-2" for the port "sim:1-2"
    std::wstring serialNumber() const;

    // ---- presence on the bus ----------------------------------------------
    // Power-up: settings return to the stored defaults and self-test mode ends.
    void plugIn();
    void unplug();
    bool plugged() const;
    EncoderMode mode() const;
    // The mode as it stands, without running the bus's due actions first: for
    // a listener, which may itself run inside one of them.
    EncoderMode modeAsIs() const;
    // Present but not openable (permission denied); re-announces the interfaces.
    void setOpenable(bool openable);

    // ---- loader face --------------------------------------------------------
    // Runs (on the thread that read the ENTER_BSL reply, no lock held) after the
    // encoder has left the HID bus for its boot loader.
    void setEnterBslHandler(std::function<void()> handler);
    // The new (or old) application starts: power-up defaults, the given six-
    // character version, back on the HID bus.
    void restartApplication(const std::string& firmwareVersion);
    // Powered with no application to run: off the HID bus, in its boot loader.
    void startInLoader();

    // ---- state --------------------------------------------------------------
    EncoderSettings settings() const;         // in force now
    EncoderSettings powerUpDefaults() const;  // kept by WRITE_DEFAULTS
    int ledBrightness() const;
    int ledColour() const;
    int buzzer() const;
    int optionsFitted() const;
    int buzzerPeriod() const;
    int keypadType() const;
    std::string firmwareVersion() const;
    // The table the current layout sends (32 bytes; the status message carries 8, 24 or 32).
    EncoderTable activeCodeTable() const;
    // The GET_STATUS data bytes as the encoder would send them now.
    std::vector<std::uint8_t> statusMessage() const;
    // LED as seen: the brightness when the brightness option is fitted, 9 or 0
    // (on/off) with the colour option only, 0 without an LED or off the bus.
    int ledLevel() const;
    // True while a SOUND_BUZZER step or a key click sounds (buzzer option fitted).
    bool buzzerSounding() const;
    int lastSoundedPeriod() const;  // -1 before the first SOUND_BUZZER
    int beepCount() const;          // SOUND_BUZZER steps executed
    bool selfTestMode() const;      // between SELF_TEST 1 and 2
    bool keyTestRunning() const;    // key reports still being sent
    std::vector<ReceivedCommand> receivedCommands() const;
    void clearReceivedCommands();
    std::vector<KeyStroke> keyStrokes() const;
    // Grows by one on every change of state; a window can poll it cheaply.
    std::uint64_t revision() const;
    // Runs after every change of state, on the thread that made it, no lock held.
    int addListener(std::function<void()> listener);
    void removeListener(int id);

    // ---- the operator's hand ------------------------------------------------
    // Presses key `index` (0-15; other values reach the host as they are in
    // self-test mode). In self-test mode it queues a key report on interface 1;
    // the key test ends with key number 255 once every key of the layout was
    // pressed, or after keyTestQuietMs without a press. Otherwise the key types
    // its table entry on the keyboard interface (recorded in keyStrokes).
    void pressKey(int index);

    // ---- test set-up (no command involved) ----------------------------------
    void setSettings(const EncoderSettings& settings);          // in force now
    void setPowerUpDefaults(const EncoderSettings& settings);
    void setKeypadTypeRaw(std::uint8_t code);                   // any code, 9+ included
    void setFirmwareVersion(const std::string& version);
    void setReplyDelayMs(std::uint32_t ms);
    void setAckReports(int count, std::uint32_t spacingMs);
    void setReenumerateDelayMs(std::uint32_t ms);
    void setKeyTestQuietMs(std::uint32_t ms);

    // ---- faults -------------------------------------------------------------
    // Plans are tried in the order given; the first that applies to a command is used.
    void injectFault(const FaultPlan& plan);
    void clearFaults();

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

} // namespace vardo::sim
