#pragma once
// Internal to the tool's core: one run of a parsed command line. The class
// holds what the subcommands share (options, console, the opened encoder, the
// configuration messages already shown); each subcommand's file defines its
// cmd... members.
#include "cli/cli.h"
#include "cli/cli_commands.h"
#include "cli/cli_device.h"
#include "cli/cli_options.h"
#include "cli/upgrade_signals.h"
#include "codetable/usage_codes.h"
#include "config/utility_config.h"
#include "device/encoder.h"
#include "device/outcome.h"
#include "device/port_lock.h"
#include "firmware/image_check.h"
#include "firmware/upgrade_job.h"
#include "firmware/loader_texts.h"
#include "link/encoder_commands.h"
#include "link/messages.h"

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vardo::cli {

class Session {
public:
    // configFile: the configuration file's path ("" when no data folder is known).
    Session(Console& console, Options options, std::string configFile)
        : con_(console), opt_(std::move(options)), configFile_(std::move(configFile))
    {
    }
    // Closes the encoder handle, shuts the HID library down and removes the
    // copy of standard input.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Version, help or the command its table names; the exit status. A
    // failure under --json is also a JSON object on the output.
    [[nodiscard]] int run();

private:
    [[nodiscard]] int dispatch();
    // What the run said when it failed, for the JSON object.
    [[nodiscard]] std::string failureText(int code) const;
    // The table names the handlers below.
    friend const std::vector<Command>& commandTable();

    // Each of these returns the exit status after telling the operator why.
    [[nodiscard]] int fail(int code, const std::string& text);
    // A usage error, with the pointer to --help.
    [[nodiscard]] int usage(const std::string& text);
    // text and the reason of the link's result; the exit status it stands for.
    [[nodiscard]] int failExchange(const std::string& text, device::Result result);
    // Messages of the configuration logic, each distinct one once.
    config::Report reporter();
    // What a command sent (a protocol command's name and value), for --json.
    void sent(std::string command) { sent_.push_back(std::move(command)); }

    // Each of these returns 0 (kExitOk) when the command may go on, else the
    // exit status after telling the operator why.

    // The options given are the form's (under --all: also --all and --json,
    // which its summary speaks), and its words are as many as it takes.
    [[nodiscard]] int checkLine(const CommandForm& form, bool onAll);
    // path is a regular file that this user can read, or "-": standard input,
    // then copied (takeStandardInput).
    [[nodiscard]] int requireReadable(const std::string& path);
    // Standard input read to its end into a file of ours, since the
    // configuration logic opens its files by name and more than once.
    [[nodiscard]] int takeStandardInput();
    // The file to open for path: the copy of standard input for "-".
    [[nodiscard]] std::string openedPath(const std::string& path) const;
    // Sets the configuration file up as the window does when setUp is true; then
    // refuses at once one that is not a regular file (a missing one too, unless
    // it was to be set up).
    [[nodiscard]] int useConfigFile(bool setUp);
    // Opens the encoder named by --device (else the first) as encoder();
    // with lock, its port lock is taken too (lockEncoder).
    [[nodiscard]] int openDevice(bool lock = false);
    // The open encoder's port lock, held for the rest of the run: refused at
    // once when another process has it. Taken once; a re-open keeps it.
    [[nodiscard]] int lockEncoder();
    // What openEncoder's status means for the run: the encoder open, or why not.
    [[nodiscard]] int reportOpen(OpenStatus status);
    // GET_STATUS into status; failure is the text for an exchange
    // that fails or a status too short for its layout.
    [[nodiscard]] int readStatus(link::DeviceStatus& status, const char* failure);
    // openDevice, then readStatus.
    [[nodiscard]] int openWithStatus(link::DeviceStatus& status, const char* failure, bool lock = false);

    // The handlers of the command table; their options and word counts are checked.
    [[nodiscard]] int cmdHelp();
    // commands_device.cpp
    [[nodiscard]] int cmdStatus();
    [[nodiscard]] int cmdSet();
    [[nodiscard]] int cmdSave();
    // WRITE_DEFAULTS on the open encoder, then its status recorded in the configuration file.
    [[nodiscard]] int saveAndRecord();
    [[nodiscard]] int cmdFactoryReset();
    [[nodiscard]] int cmdKeys();
    // commands_table.cpp
    [[nodiscard]] int cmdTableShow();
    [[nodiscard]] int cmdTableLoad();
    // commands_config.cpp
    [[nodiscard]] int cmdConfigExport();
    [[nodiscard]] int cmdConfigImport();
    [[nodiscard]] int cmdConfigApply();
    // commands_apply.cpp
    [[nodiscard]] int cmdApply();
    // commands_upgrade.cpp
    [[nodiscard]] int cmdUpgrade();
    // The image named by the command (read once) and the job's checks (the
    // loader texts, a loader beside other devices unless portNamed), before
    // anything touches an encoder; whom names it in the refusal.
    [[nodiscard]] int loadUpgradeInputs(firmware::FirmwareImage& image, firmware::Readiness& ready, bool portNamed,
                                        const char* whom);
    // The image read once and checked; nothing touches the encoder before.
    [[nodiscard]] int loadUpgradeImage(const std::string& path, firmware::FirmwareImage& image);
    // No other loader where ours will be looked for, and the operator's yes;
    // inLoader: the encoder waits in its loader already.
    [[nodiscard]] int confirmUpgrade(const std::string& port, bool inLoader);
    // The operator's yes to the upgrade (or --yes).
    [[nodiscard]] int askUpgradeQuestion();
    // The erase was not allowed: what is said, and the exit status.
    [[nodiscard]] int massEraseRefused();
    // The job's question before an erase without the password: --mass-erase or the operator's yes.
    [[nodiscard]] bool allowMassErase();
    // What the job's outcome means for the operator, and the exit status.
    [[nodiscard]] int reportUpgrade(const firmware::Outcome& o, const std::string& imagePath, const std::string& again,
                                    OpenStatus reopened,
                                    const std::shared_ptr<device::Encoder>& back, bool settingsKnown,
                                    const std::string& restoredFrom);
    // --restore FILE: the settings of a backup, checked before anything is sent.
    [[nodiscard]] int loadRestoreFile(const std::string& path, std::optional<link::DeviceStatus>& settings);
    // The newest usable backup recorded for the loader's port or serial (said
    // which, or that there is none); "" when none.
    [[nodiscard]] std::string recordedBackup(const BusDevice& loader, std::optional<link::DeviceStatus>& settings);
    // A signal stopped the upgrade before ENTER_BSL: 128 + the signal.
    [[nodiscard]] int interruptedBeforeLoader();

    // The open encoder (after openDevice succeeded).
    device::Encoder& encoder() { return *encoder_.encoder; }
    // Closes the encoder and shuts the HID library down.
    void closeDevice();
    // commands_all.cpp
    [[nodiscard]] int cmdList();
    // The command on every attached encoder (--all), if its table says so.
    [[nodiscard]] int runOnAll(const Command& command);
    [[nodiscard]] int upgradeAll();

    Console& con_;
    Options opt_;
    const std::string configFile_;
    OpenedEncoder encoder_;
    device::PortLock portLock_;
    std::vector<std::string> reported_;
    std::vector<std::string> failures_;   // what fail, usage and failExchange said
    std::string stdinCopy_;               // the copy of standard input; "" before
    bool summaryWritten_ = false;         // --all --json: each port's exit is in the summary
    bool resultWritten_ = false;          // --json: the command printed its own result
    std::vector<std::string> sent_;       // what the command sent, in order
    bool changed_ = false;                // it changed a file, or the encoder beyond sent_
    // The first signal an upgrade held back: the run then ends with 128 + it
    // unless it failed for itself.
    std::atomic<int> signalled_{0};
};

} // namespace vardo::cli
