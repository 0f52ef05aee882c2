#pragma once
// One firmware upgrade of one encoder, as declared phases: the settings read
// and backed up, ENTER_BSL, the loader found, unlocked, the RAM loader started,
// erase, write, verify, the forced restart, the encoder found again and its
// settings written back. The window, `upgrade` and `--all upgrade` are front
// ends that start jobs, answer their questions and render their events; a
// Policy states what they may differ in. run() is the one way an upgrade runs.
// The job owns its loader connection, so jobs run side by side.
// Reports through a callback; waits through the platform clock. Qt-free.
#include "device/encoder.h"
#include "firmware/image_check.h"
#include "firmware/loader_texts.h"
#include "firmware/upgrade_targets.h"
#include "link/encoder_commands.h"
#include "loader/connection.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vardo::firmware {

// ---- every constant of the upgrade ------------------------------------------

// How long an encoder may take to appear as a loader after ENTER_BSL (and, on
// a bench, to come back after the restart wait).
inline constexpr std::uint32_t kLoaderWaitMs = 10000;
// A device awaited on its port is looked for this often: its arrival, not a
// fixed time, lets the upgrade go on.
inline constexpr std::uint32_t kPollMs = 50;
// The longest the restart into the new firmware may take.
inline constexpr std::uint32_t kRestartWaitMs = 6000;
// After a refused password, while the loader mass-erases.
inline constexpr std::uint32_t kMassEraseWaitMs = 2000;
// The longest the RAM loader's start may take (the chip leaves the bus and
// comes back), in three slices: the progress shows 35, 40 and 45 %.
inline constexpr std::uint32_t kRamLoaderStartMs = 3000;
inline constexpr std::uint32_t kRamLoaderStartSliceMs = 1000;
inline constexpr std::uint32_t kRamLoaderEntry = 0x2504;
inline constexpr std::uint32_t kResetVectorAddress = 0xFFFF;
// The application's entry: the word at 0xFFFE, the last two bytes of the password block.
inline constexpr std::size_t kResetVectorInPassword = 30;
// That RAM loader acts on the second of two forced resets.
inline constexpr char kRamLoaderVersionWithDoubleReset[] = "00.06.05.34";

// Caption of the write-back's message boxes.
inline constexpr char kWriteBackCaption[] = "Vardo USB ENCODER";
// In place of "Memory verification error" when the loader has left the bus.
inline constexpr char kMsgUnpluggedDuringUpgrade[] =
    "The encoder was unplugged during the upgrade: its memory could not be verified\r\n";
inline constexpr char kMsgSettingsUnknown[] =
    "The settings could not be read before the upgrade and were not written back..";

// An embedded resource's text ("RAM_BSL_VERSION", ...) as 8-bit text.
[[nodiscard]] std::string resourceText(std::string_view name);
// Loaders attached (the loader's vendor and product ID), on any port.
[[nodiscard]] std::uint32_t countLoaders();

// ---- phases, events, outcome ------------------------------------------------

enum class Phase : std::uint8_t {
    CheckInputs,     // the image and the loader texts checked: nothing touched yet
    OpenEncoder,     // the encoder to upgrade opened
    ReadSettings,    // its settings read (GET_STATUS)
    Backup,          // and saved to a backup file
    EnterLoader,     // ENTER_BSL
    FindLoader,      // its loader found
    Unlock,          // connected and unlocked (a refused password mass-erases)
    StartRamLoader,  // the RAM loader sent, started, found again and its version checked
    Erase,
    Write,
    Verify,
    Reset,           // the forced restart into the new application
    FindEncoder,     // the encoder found again after the restart
    WriteBack,       // the settings written back
    Done,
};

// "read settings", "verify", ... (one table with outcomeName() and the progress).
[[nodiscard]] const char* phaseName(Phase phase);
// The progress bar's value num/den of the way through phase: each phase has
// its stretch of the bar in that table.
[[nodiscard]] int progressOf(Phase phase, int num = 0, int den = 1);

// From ENTER_BSL to the end of the write-back the encoder is without its
// application or its settings: an interrupted job leaves it so.
[[nodiscard]] constexpr bool mustNotInterrupt(Phase phase)
{
    return phase >= Phase::EnterLoader && phase <= Phase::WriteBack;
}

// What an event tells the operator besides a status line.
enum class Notice : std::uint8_t {
    None,             // a status line and the percentage only
    StatusNotRead,    // "Failed to Get Device Status Message." (the job goes on without settings)
    EncoderNotBack,   // "Vardo 710 Encoder not connected.." after the restart
    SettingsUnknown,  // kMsgSettingsUnknown: nothing was written back
    WriteBackFailed,  // the write-back's failed step ("Unable to set option..", ...)
};

struct Event {
    Phase phase = Phase::CheckInputs;
    int percent = 0;             // the window's progress bar
    std::string text;            // status line(s) ending in CR LF, or a notice's words; "" for none
    Notice notice = Notice::None;
    const char* caption = "";    // a notice's box caption
    bool critical = false;       // mustNotInterrupt(phase)
};
using EventSink = std::function<void(const Event&)>;

// Where a job stopped, with its context.
struct Outcome {
    Phase phase = Phase::Done;                     // the failed phase; Done when all went through
    device::Result device = device::Result::Ok;    // the failed exchange with the encoder
    loader::Result loader = loader::Result::Ok;    // the failed loader call
    std::string port;                              // the encoder's port ("" when taken as the first)
    std::string backupPath;                        // "" when none was written
    std::uint32_t address = 0;                     // Verify: the first block that differs
    bool cancelled = false;                        // stopped before ENTER_BSL by a hook's answer
    bool deviceGone = false;                       // the loader left the bus: not the flash's fault
    bool flashChanged = false;                     // the application may be erased or partly written
    std::string settingsProblem;                   // ReadSettings: read, but they could not be written back
    [[nodiscard]] bool ok() const { return phase == Phase::Done; }
    // The new firmware was written, verified and started (a write-back may have failed).
    [[nodiscard]] bool programmed() const { return phase > Phase::Reset; }
};

// "upgraded", "no encoder", "status not read", ... for tables and JSON.
[[nodiscard]] const char* outcomeName(const Outcome& outcome);
// "verify failed on 1-1.3: the memory differs from the image at 0x4400".
[[nodiscard]] std::string describe(const Outcome& outcome);

// ---- what the front ends may differ in ---------------------------------------

struct Policy {
    // false: an encoder whose settings cannot be read is upgraded all the same,
    // and nothing is written back (the window); true: it is left alone.
    bool settingsRequired = true;
    // true: without a backup of the settings nothing starts.
    bool backupRequired = true;
    // The loader and the encoder are looked for on this USB port only; "": the
    // first on the bus (DEVICEINDEX 0).
    std::string port;
    // After the restart wait, look this much longer (a busy bench enumerates late).
    std::uint32_t returnGraceMs = 0;
};

// The window: its encoder's port ("" when unknown).
[[nodiscard]] Policy windowPolicy(const std::string& port = {});
// `upgrade`: the encoder's own port when known.
[[nodiscard]] Policy commandPolicy(const std::string& port);
// `--all upgrade`: one job per port, side by side.
[[nodiscard]] Policy benchPolicy(const std::string& port);

// The settings read before the upgrade, written back into the new firmware.
struct RestoreValues : link::DeviceStatus {
    // False until read (or given), and when they could not be read: zeros
    // would switch the encoder's options off and clear its code table, so
    // nothing is written back.
    bool known = false;
};

// Receives one operator message (without its line break) and its box's caption.
using WriteBackReport = std::function<void(const char* caption, const std::string& text)>;

// The seven write-back commands in order (the encoder's writeBack), stopping at
// the first failure, which is reported. A null encoder fails the first command.
// True when all seven succeeded; result, when given, receives the failed one's result.
[[nodiscard]] bool writeBackSettings(device::Encoder* encoder, const RestoreValues& values,
                                     const WriteBackReport& report, device::Result* result = nullptr);

// Why the encoder would refuse settings when they are written back (a value
// outside what it takes, as a damaged encoder may report), or "". Checked
// before ENTER_BSL: found only at the write-back, they would be lost.
[[nodiscard]] std::string writeBackProblem(const link::DeviceStatus& settings);

// The settings just read: the front end keeps them (and shows them) and
// writes the backup, naming it in path. False when the backup failed.
using Keep = std::function<bool(const link::DeviceStatus& settings, std::string& path)>;

// What every front end checks before an upgrade starts, in one place: the
// loader texts (the files given, else the installed or embedded ones) and,
// where no port is named, that no encoder waits in its loader beside other
// devices (the first loader after ENTER_BSL could then be that one).
struct Readiness {
    LoaderTextsFound texts;
    std::string textProblem;   // the RAM loader's or the password's problem; "" when usable
    AttachedDevices attached;  // what is attached now
    std::string refusal;       // unnamedUpgradeRefusal(attached) without a port; "" when none
};
[[nodiscard]] Readiness checkReadiness(bool portNamed, const std::string& ramLoaderFile = {},
                                       const std::string& passwordFile = {});

struct Hooks {
    EventSink event;
    Keep keep;
    // Looks once for the encoder after the restart; null when it is not there.
    // Unset: on the policy's port, or the first on the bus.
    std::function<std::shared_ptr<device::Encoder>()> findEncoder;
    // Asked once, right before ENTER_BSL: false stops the job there (Phase
    // EnterLoader, cancelled) with nothing sent. Unset: always goes on.
    std::function<bool()> mayEnterLoader;
    // The question before an upgrade without the password text, whose loader
    // then erases the whole application: asked once, before anything is sent
    // (not for an encoder already waiting in its loader). false stops the job
    // (Phase CheckInputs, cancelled). Unset: no.
    std::function<bool()> allowMassErase;
    // After the restart, before the encoder is looked for: the settings to
    // write back, as read (known false when none were); a front end may put
    // others in their place (a backup file's). Unset: those read.
    std::function<void(RestoreValues& settings)> settingsToWriteBack;
    // Asked before the backup when the settings read cannot be written back
    // (why: writeBackProblem's text): true upgrades all the same, without a
    // backup and with nothing written back. Unset: the job stops there.
    std::function<bool(const std::string& why)> mayLoseSettings;
};

// One job lives through all the phases of one encoder's upgrade, whichever
// front end runs them: what must hold for the whole upgrade (a lock on its
// port, say) belongs to the job.
class UpgradeJob {
public:
    UpgradeJob(Policy policy, Hooks hooks);
    UpgradeJob(const UpgradeJob&) = delete;
    UpgradeJob& operator=(const UpgradeJob&) = delete;

    // The texts the loader part sends (checked by findLoaderTexts); a missing
    // password means the mass-erase path, which Hooks::allowMassErase decides.
    void setLoaderTexts(LoaderTexts texts) { texts_ = std::move(texts); }
    // The settings to write back (replacing those read by prepare).
    void setSettings(const RestoreValues& settings) { settings_ = settings; }
    [[nodiscard]] const RestoreValues& settings() const { return settings_; }
    [[nodiscard]] const Policy& policy() const { return policy_; }
    // The loader to open (by default the first, on the policy's port);
    // nullopt: none can be named, and connecting fails.
    void setLoaderAddress(std::optional<loader::Address> address) { loaderAddress_ = std::move(address); }

    // The whole upgrade, every phase not done yet: the checks (the image is
    // parsed once, unless image.checked), the encoder given (else the one on the
    // policy's port, or the first) prepared, its loader found, the start-up
    // (tried twice), erase (skipped after a mass erase), write, verify, the
    // forced restart, the encoder found again and its settings written back.
    // After prepare(), or startInLoader(), it begins with the loader as it is.
    [[nodiscard]] Outcome run(const FirmwareImage& image, std::shared_ptr<device::Encoder> encoder = {});
    // ReadSettings, Backup and EnterLoader alone, for a front end that sends
    // the encoder (null: none) into its loader before the image is chosen: a
    // failed ENTER_BSL is reported (EnterLoader), and the loader's appearance
    // decides in run() all the same. The job lets the encoder go once it has
    // left for its loader. keep, when given, stands in for the hooks' own.
    [[nodiscard]] Outcome prepare(std::shared_ptr<device::Encoder> encoder, const Keep& keep = {});
    // The encoder already waits in its loader (its settings, unless set,
    // unknown): run() takes that loader as it is, and opens no encoder.
    void startInLoader() { prepared_ = true; }
    // Asks Hooks::allowMassErase, once, when the upgrade will need a mass erase
    // (no password text); true when it may go on. run() and prepare() ask
    // themselves; a front end whose question must come before its worker
    // starts asks here first. Without the loader texts set, looks them up.
    [[nodiscard]] bool massEraseAllowed();

    // An encoder left in its loader with its application intact starts that
    // application again: unlocked with passwordText (a TI-TXT vector table),
    // LOAD PC to its reset vector, then up to kLoaderWaitMs for the encoder.
    // NotFound: no loader; BadAddress: the text holds no reset vector;
    // PasswordRefused: the loader has mass-erased the application.
    [[nodiscard]] loader::Result returnToApplication(const std::string& passwordText);
    // Whether this job may have erased or written any flash so far.
    [[nodiscard]] bool flashChanged() const { return flashChanged_; }

    // Tick counts around the programming (from the RAM loader's start to the verify).
    [[nodiscard]] std::uint32_t programStartMs() const { return startTick_; }
    [[nodiscard]] std::uint32_t programStopMs() const { return stopTick_; }

    // The one wait for a device to (re)appear: found(false) at once and every
    // kPollMs until it is true, at most boundMs; found(true) is the last look,
    // at the bound, and asks only what a look after a fixed wait would. Where the
    // device cannot be told from another (its port unknown) looking starts
    // after blindMs. slice(i) runs at the start and as each sliceMs passes;
    // those not yet run follow once the device is there, so none is skipped.
    struct Wait {
        std::uint32_t boundMs = 0;
        std::uint32_t blindMs = 0;
        std::uint32_t sliceMs = 0;   // 0: no slices
    };
    [[nodiscard]] bool awaitDevice(const Wait& wait, const std::function<bool(bool last)>& found,
                                   const std::function<void(unsigned slice)>& slice = {});

    // The USB port of the encoder and its loader: the policy's, else the one
    // the loader was found on ("" before that, or when it cannot be told).
    [[nodiscard]] std::string devicePort() const { return policy_.port.empty() ? loaderPort_ : policy_.port; }

private:
    // The phases of run() after the checks and the preparation.
    // The image's bytes (parsed into parsed unless image.checked) and the loader texts; null: refused.
    [[nodiscard]] const loader::Image* checkInputs(const FirmwareImage& image, loader::Image& parsed);
    [[nodiscard]] Outcome program(const std::string& path, const loader::Image& blocks);
    [[nodiscard]] Outcome restore();
    [[nodiscard]] bool startLoader(bool& massErase);
    [[nodiscard]] bool reset();
    void report(Phase phase, int percent, std::string text);
    void notify(Phase phase, Notice notice, const char* caption, std::string text);
    // Where the job stands (Done: nothing failed), with its context.
    [[nodiscard]] Outcome outcome(Phase phase, device::Result device = device::Result::Ok,
                                  loader::Result loader = loader::Result::Ok) const;
    [[nodiscard]] bool connect();
    using Password = std::array<std::uint8_t, loader::protocol::kPasswordSize>;
    [[nodiscard]] bool unlock(const Password& password, const Password& erased, bool& massErase);
    void startRamLoader(const std::string& version);
    [[nodiscard]] bool checkRamLoader(const Password& password, const std::string& version);
    [[nodiscard]] bool loaderThere() const;
    [[nodiscard]] std::shared_ptr<device::Encoder> findEncoder() const;

    Policy policy_;
    Hooks hooks_;
    loader::Connection connection_;
    std::optional<loader::Address> loaderAddress_;
    std::optional<LoaderTexts> texts_;
    RestoreValues settings_;
    std::string backupPath_;
    std::string loaderPort_;
    std::uint32_t startTick_ = 0;
    std::uint32_t stopTick_ = 0;
    int percent_ = 0;
    bool flashChanged_ = false;
    bool prepared_ = false;        // the encoder was sent into its loader (or waited there)
    bool massEraseAsked_ = false;  // allowMassErase answered yes (or needs no asking)
    // What went wrong in the loader part, for the outcome.
    Phase failedPhase_ = Phase::Done;
    loader::Result failedResult_ = loader::Result::Ok;
    loader::Result ramLoaderSent_ = loader::Result::Ok;
    loader::Result resetSent_ = loader::Result::Ok;
};

} // namespace vardo::firmware
