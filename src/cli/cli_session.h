#pragma once
// Internal to the tool's core: one run of a parsed command line. The class
// holds what the subcommands share (options, console, the opened encoder, the
// configuration messages already shown); each subcommand's file defines its
// cmd... members.
#include "cli/cli.h"
#include "cli/cli_device.h"
#include "cli/cli_options.h"
#include "codetable/usage_codes.h"
#include "config/utility_config.h"
#include "device/encoder.h"
#include "device/outcome.h"
#include "firmware/image_check.h"
#include "firmware/upgrade_job.h"
#include "firmware/loader_texts.h"
#include "link/encoder_commands.h"
#include "link/messages.h"

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

namespace vardo::cli {

class Session {
public:
    Session(Console& console, Options options) : con_(console), opt_(std::move(options)) {}
    // Closes the encoder handle and shuts the HID library down.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Version, help or the subcommand; the exit status.
    int run();

private:
    int fail(int code, const std::string& text);
    // A usage error, with the pointer to --help.
    int usage(const std::string& text);
    // text and the reason of the link's result; the exit status it stands for.
    int failExchange(const std::string& text, device::Result result);
    // Messages of the configuration logic, each distinct one once.
    config::Report reporter();

    // Each of these returns 0 (kExitOk) when the command may go on, else the
    // exit status after telling the operator why.

    // Only the allowed options (long names) were given.
    int allowOnly(std::initializer_list<const char*> allowed);
    // Only the allowed options, and no more than wordCount words (the command's
    // own); tooMany is the usage error for more.
    int checkLine(std::initializer_list<const char*> allowed, std::size_t wordCount, const char* tooMany);
    // path is a regular file that this user can read.
    int requireReadable(const std::string& path);
    // Sets FileName, first setting the file up as the window does when setUp is
    // true; then refuses at once a configuration file that is not a regular
    // file (a missing one too, unless it was to be set up).
    int useConfigFile(bool setUp);
    // Opens the encoder named by --device (else the first) as encoder().
    int openDevice();
    // What openEncoder's status means for the run: the encoder open, or why not.
    int reportOpen(OpenStatus status);
    // GET_STATUS into status; failure is the text for an exchange
    // that fails or a status too short for its layout.
    int readStatus(link::DeviceStatus& status, const char* failure);
    // openDevice, then readStatus.
    int openWithStatus(link::DeviceStatus& status, const char* failure);

    // commands_device.cpp
    int cmdStatus();
    int cmdSet();
    int cmdSave();
    int cmdFactoryReset();
    int cmdKeys();
    int cmdList();
    // commands_table.cpp
    int cmdTable();
    int cmdTableLoad();
    // commands_config.cpp
    int cmdConfig();
    int cmdConfigApply();
    // commands_upgrade.cpp
    int cmdUpgrade();
    // The image named by the command (read once) and the loader texts, both
    // checked before anything touches an encoder; whom names it in the refusal.
    int loadUpgradeInputs(firmware::FirmwareImage& image, firmware::LoaderTextsFound& texts,
                          const char* whom);
    // The image read once and checked; nothing touches the encoder before.
    int loadUpgradeImage(const std::string& path, firmware::FirmwareImage& image);
    // The encoder opened (unless one waits in its loader already), no other
    // loader where ours will be looked for, and the operator's yes.
    int confirmUpgrade(const std::string& port, OpenStatus opened, bool inLoaderAlready, bool passwordMissing);
    // The operator's yes to the upgrade (and to the erase, without a password).
    int askUpgradeQuestions(bool passwordMissing);
    // The job's preparation: settings read and backed up, ENTER_BSL, the loader awaited.
    int sendIntoLoader(firmware::UpgradeJob& job);

    // The open encoder (after openDevice succeeded).
    device::Encoder& encoder() { return *encoder_.encoder; }
    // Closes the encoder and shuts the HID library down.
    void closeDevice();
    // commands_bench.cpp: the command on every attached encoder (--all).
    int runOnAll();
    int upgradeAll();

    Console& con_;
    Options opt_;
    OpenedEncoder encoder_;
    std::vector<std::string> reported_;
};

} // namespace vardo::cli
