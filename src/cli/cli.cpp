#include "cli/cli.h"

#include "cli/cli_device.h"
#include "cli/cli_help.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"
#include "cli/exit_codes.h"
#include "codetable/usage_codes.h"
#include "config/inifile.h"
#include "config/utility_config.h"
#include "firmware/image_check.h"
#include "firmware/upgrade_sequence.h"
#include "link/encoder_commands.h"
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "platform/dialogs.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <sys/stat.h>

#ifndef VARDO_VERSION
#define VARDO_VERSION "unknown"
#endif

namespace vardo::cli {

ExitCode exitForExchange(int result)
{
    if (result == link::kErrNoDevice)
        return kExitNoEncoder;
    if (result == link::kErrTimeout)
        return kExitTimeout;
    return kExitRefused;
}

namespace {

using codetable::CodeTable;
using link::DeviceStatus;

constexpr std::uint32_t kFactoryResetWaitMs = 3000;
// Short receive waits keep `keys` answering an interrupt at once.
constexpr std::int32_t kKeyPollMs = 200;

// Texts of the windows that the same failures show.
constexpr const char* kMsgNotConnected = "Vardo 710 Encoder not connected..";
constexpr const char* kMsgStatusFailed = "Failed to Get Device Status Message.";
constexpr const char* kMsgWriteDefaults = "Unable to Write Default..";
constexpr const char* kMsgSaveConfig = "Unable to Save Config file.";
constexpr const char* kMsgTableStatus = "Load Table-Unable to get device status..";
constexpr const char* kMsgNotCustomised = "Please select a customise table..";
constexpr const char* kMsgLoadTable = "Unable to Load Table..";
constexpr const char* kMsgStartSelfTest = "Unable to START Self test..";
constexpr const char* kMsgEndSelfTest = "Unable to END Self test..";
constexpr const char* kMsgUpgradeQuestion = "Are you sure you want to upgrade the firmware?";
constexpr const char* kUpgradeCaption = "Firmware Upgrade";
// How long an encoder may take to come back as a loader after ENTER_BSL.
constexpr std::uint32_t kLoaderWaitMs = 10000;
constexpr std::uint32_t kLoaderPollMs = 250;
constexpr int kProgressBarWidth = 30;
constexpr const char* kUdevRule = "packaging/70-vardo-encoder.rules";
constexpr const char* kUdevFolder = "/lib/udev/rules.d";

std::string reason(int result)
{
    switch (result) {
    case link::kErrNoDevice:
        return "the encoder is not connected or stopped answering";
    case link::kErrTimeout:
        return "no reply from the encoder within 5000 ms";
    case link::kErrBadCount:
        return "the encoder's reply report was malformed";
    default:
        return "the encoder refused the command or its reply was invalid";
    }
}

bool readableFile(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::ifstream probe(path, std::ios::binary);
    return probe.good();
}

bool isFolder(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The upgrade's progress: a bar redrawn in place on a terminal, plain
// "NN% text" lines otherwise (one per status line, or the bare percentage).
class ProgressPrinter {
public:
    ProgressPrinter(std::ostream& out, bool bar) : out_(out), bar_(bar) {}
    ~ProgressPrinter() { finish(); }

    void report(int percent, const std::string& text)
    {
        percent_ = std::clamp(percent, 0, 100);
        std::vector<std::string> lines;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find_first_of("\r\n", start);
            if (end == std::string::npos)
                end = text.size();
            if (end > start)
                lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        if (!bar_) {
            if (lines.empty())
                out_ << percent_ << "%\n";
            for (const auto& line : lines)
                out_ << percent_ << "% " << line << '\n';
            out_.flush();
            return;
        }
        for (const auto& line : lines)
            out_ << "\r\033[K" << line << '\n';
        const int filled = percent_ * kProgressBarWidth / 100;
        out_ << "\r\033[K[" << std::string(static_cast<std::size_t>(filled), '#')
             << std::string(static_cast<std::size_t>(kProgressBarWidth - filled), ' ') << "] " << percent_
             << '%' << std::flush;
        drawn_ = true;
    }
    void finish()
    {
        if (drawn_)
            out_ << '\n' << std::flush;
        drawn_ = false;
    }

private:
    std::ostream& out_;
    bool bar_;
    bool drawn_ = false;
    int percent_ = 0;
};

// The command line after parsing: words (subcommand and operands) and options.
struct Options {
    std::vector<std::string> words;
    std::string device;
    std::optional<std::string> from;
    bool json = false;
    bool yes = false;
    bool help = false;
    bool version = false;
    std::set<std::string> given;   // long names of the options used
};

bool parseOptions(const std::vector<std::string>& args, Options& o, std::string& error)
{
    bool endOfOptions = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (endOfOptions || a.empty() || a[0] != '-' || a == "-") {
            o.words.push_back(a);
            continue;
        }
        if (a == "--") {
            endOfOptions = true;
            continue;
        }
        std::string name = a;
        std::optional<std::string> inlineValue;
        if (a.rfind("--", 0) == 0) {
            if (const auto eq = a.find('='); eq != std::string::npos) {
                name = a.substr(0, eq);
                inlineValue = a.substr(eq + 1);
            }
        }
        const auto takeValue = [&](std::string& into) {
            if (inlineValue) {
                into = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return false;
            }
            into = args[++i];
            return true;
        };
        if (name == "-d" || name == "--device") {
            if (!takeValue(o.device))
                return false;
            if (o.device.empty()) {
                error = "option --device needs a path or serial number";
                return false;
            }
            o.given.insert("device");
        } else if (name == "--from") {
            std::string v;
            if (!takeValue(v))
                return false;
            o.from = v;
            o.given.insert("from");
        } else if (inlineValue) {
            error = "option " + name + " takes no value";
            return false;
        } else if (name == "--json") {
            o.json = true;
            o.given.insert("json");
        } else if (name == "-y" || name == "--yes") {
            o.yes = true;
            o.given.insert("yes");
        } else if (name == "-h" || name == "--help") {
            o.help = true;
        } else if (name == "--version") {
            o.version = true;
        } else {
            error = "unknown option " + a;
            return false;
        }
    }
    return true;
}

// Messages and questions of the shared logic, on the terminal.
class ConsoleDialogs final : public platform::Dialogs {
public:
    ConsoleDialogs(Console& console, bool yes) : console_(console), yes_(yes) {}

    void message(const std::string&, const std::string& text, platform::MessageIcon) override
    {
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        console_.err << line << '\n';
    }
    bool question(const std::string&, const std::string& text) override
    {
        if (yes_)
            return true;
        if (!console_.inIsTerminal || !console_.in)
            return false;
        console_.err << text << " [y/N] " << std::flush;
        std::string answer;
        if (!std::getline(*console_.in, answer))
            return false;
        return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
    }
    std::optional<std::string> openFile(const std::string&, const std::string&, const std::string&) override
    {
        return std::nullopt;
    }
    std::optional<std::string> selectFolder(const std::string&, const std::string&) override
    {
        return std::nullopt;
    }
    void openUrl(const std::string&) override {}

private:
    Console& console_;
    bool yes_;
};

class Session {
public:
    Session(Console& console, Options options) : con_(console), opt_(std::move(options)) {}
    ~Session()
    {
        // hid_exit_safely closes a handle and always shuts the library down.
        hid_exit_safely(hid_handle);
        hid_handle = nullptr;
    }

    int run();

private:
    int fail(int code, const std::string& text)
    {
        con_.err << text << '\n';
        return code;
    }
    int usage(const std::string& text)
    {
        con_.err << con_.programName << ": " << text << '\n'
                 << "Try '" << con_.programName << " --help'.\n";
        return kExitUsage;
    }
    int failExchange(const std::string& text, int result)
    {
        con_.err << text << " (" << reason(result) << ")\n";
        return exitForExchange(result);
    }
    // Messages of the configuration logic, each distinct one once.
    config::Report reporter()
    {
        return [this](const std::string& text) {
            if (std::find(reported_.begin(), reported_.end(), text) == reported_.end())
                con_.err << text << '\n';
            reported_.push_back(text);
        };
    }

    bool allowOnly(std::initializer_list<const char*> allowed, int& code);
    int openDevice();
    int reportOpen(OpenStatus status);
    int readStatus(DeviceStatus& status, CodeTable& table);

    int cmdStatus();
    int cmdSet();
    int cmdTable();
    int cmdTableLoad();
    int cmdSave();
    int cmdFactoryReset();
    int cmdConfig();
    int cmdConfigApply();
    int cmdKeys();
    int cmdList();
    int cmdUpgrade();
    bool writeBackup(const DeviceStatus& status, const CodeTable& table, std::string& path);

    Console& con_;
    Options opt_;
    OpenedEncoder encoder_;
    std::vector<std::string> reported_;
};

bool Session::allowOnly(std::initializer_list<const char*> allowed, int& code)
{
    for (const auto& g : opt_.given) {
        if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return g == a; })) {
            code = usage("option --" + g + " does not apply to '" + opt_.words[0] + "'");
            return false;
        }
    }
    return true;
}

int Session::openDevice()
{
    return reportOpen(openEncoder(opt_.device, encoder_));
}

int Session::reportOpen(OpenStatus s)
{
    switch (s) {
    case OpenStatus::Opened:
        hid_handle = encoder_.handle;
        return kExitOk;
    case OpenStatus::NoEncoder:
        return fail(kExitNoEncoder, kMsgNotConnected);
    case OpenStatus::NoMatch:
        return fail(kExitNoEncoder, std::string(kMsgNotConnected) + "\nNo encoder has the path or serial number '"
                                        + opt_.device + "' (see '" + con_.programName + " list').");
    case OpenStatus::PermissionDenied:
        return fail(kExitPermission,
                    std::string(kMsgNotConnected) + "\nAn encoder is attached at " + encoder_.device.path
                        + " but this user may not open it (permission denied).\n"
                        + "Install the udev rule " + kUdevRule + " into " + kUdevFolder
                        + " (the Debian package does), then run 'udevadm control --reload' and "
                          "'udevadm trigger' as root, or unplug and replug the encoder.");
    case OpenStatus::OpenFailed:
        break;
    }
    return fail(kExitNoEncoder, std::string(kMsgNotConnected) + "\nThe encoder at " + encoder_.device.path
                                    + " could not be opened.");
}

int Session::readStatus(DeviceStatus& status, CodeTable& table)
{
    std::array<std::uint8_t, link::kReportSize> reply{};
    std::uint32_t length = 0;
    const int r = USBEncoderSendAndReceive_a(hid_handle, link::GET_STATUS, nullptr, 0, reply.data(),
                                             static_cast<std::int32_t>(reply.size()), &length,
                                             link::kDefaultTimeoutMs);
    if (r != link::kOk)
        return r;
    const std::size_t n = std::min<std::size_t>(length, reply.size());
    // A status too short for its layout is as bad as a broken frame.
    if (!link::unpackStatusMessage(std::span(reply.data(), n), status, table))
        return link::kErrBadFrame;
    return link::kOk;
}

int Session::run()
{
    if (opt_.version) {
        con_.out << con_.programName << ' ' << VARDO_VERSION << '\n';
        return kExitOk;
    }
    if (opt_.words.empty()) {
        if (opt_.help) {
            con_.out << helpText(con_.programName, "");
            return kExitOk;
        }
        return usage("no command given");
    }
    const std::string& command = opt_.words[0];
    if (command == "help") {
        const std::string topic = opt_.words.size() > 1 ? opt_.words[1] : opt_.help ? "help" : "";
        const std::string text = helpText(con_.programName, topic);
        if (text.empty())
            return usage("no help for '" + topic + "': unknown command");
        con_.out << text;
        return kExitOk;
    }
    if (helpText(con_.programName, command).empty())
        return usage("unknown command '" + command + "'");
    if (opt_.help) {
        con_.out << helpText(con_.programName, command);
        return kExitOk;
    }
    if (command == "status")
        return cmdStatus();
    if (command == "set")
        return cmdSet();
    if (command == "table")
        return cmdTable();
    if (command == "save")
        return cmdSave();
    if (command == "factory-reset")
        return cmdFactoryReset();
    if (command == "config")
        return cmdConfig();
    if (command == "keys")
        return cmdKeys();
    if (command == "list")
        return cmdList();
    return cmdUpgrade();
}

int Session::cmdStatus()
{
    int code = kExitOk;
    if (!allowOnly({"device", "json"}, code))
        return code;
    if (opt_.words.size() > 1)
        return usage("'status' takes no arguments");
    if (int c = openDevice())
        return c;
    DeviceStatus status;
    CodeTable table{};
    if (int r = readStatus(status, table))
        return failExchange(kMsgStatusFailed, r);
    if (opt_.json)
        printStatusJson(con_.out, status, table, encoder_.device);
    else
        printStatusText(con_.out, status, table, encoder_.device);
    return kExitOk;
}

int Session::cmdSet()
{
    int code = kExitOk;
    if (!allowOnly({"device"}, code))
        return code;
    if (opt_.words.size() != 3)
        return usage("'set' needs a setting and a value, e.g. 'set brightness 6'");
    const std::string& what = opt_.words[1];
    const std::string& text = opt_.words[2];

    struct Setting {
        const char* name;
        std::optional<SettingValue> (*parse)(std::string_view);
        link::EncoderCommand command;
        const char* failure;   // the matching box's message
        const char* range;
    };
    static const Setting kSettings[] = {
        {"brightness", parseBrightness, link::SET_LED_BRIGHTNESS, "Unable to set the LED Brightness..", "0-9"},
        {"colour", parseColour, link::SET_LED_COLOUR, "Unable to set LED colour..", "0 or white"},
        {"color", parseColour, link::SET_LED_COLOUR, "Unable to set LED colour..", "0 or white"},
        {"buzzer", parseBuzzer, link::SET_BUZZER, "Unable to set Buzzer On/Off..", "off, on, 0 or 1"},
        {"period", parsePeriod, link::SET_BUZZER_PERIOD, "Unable to set Buzzer Period..", "0-9"},
        {"layout", parseLayout, link::SET_KEYPAD_TYPE, "Unable to set Keypad Type..",
         "0-8 or a layout's name"},
    };
    const Setting* setting = nullptr;
    for (const auto& s : kSettings)
        if (what == s.name)
            setting = &s;
    if (!setting)
        return usage("unknown setting '" + what + "' (brightness, colour, buzzer, period or layout)");
    const auto value = setting->parse(text);
    if (!value)
        return usage("bad value '" + text + "' for " + setting->name + " (" + setting->range + ")");

    if (int c = openDevice())
        return c;
    if (int r = link::sendByteCommand(hid_handle, setting->command, value->payload))
        return failExchange(setting->failure, r);
    return kExitOk;
}

int Session::cmdTable()
{
    if (opt_.words.size() < 2)
        return usage("'table' needs 'show' or 'load'");
    if (opt_.words[1] == "load")
        return cmdTableLoad();
    if (opt_.words[1] != "show")
        return usage("unknown table command '" + opt_.words[1] + "' (show or load)");
    int code = kExitOk;
    if (!allowOnly({"device", "json"}, code))
        return code;
    if (opt_.words.size() > 2)
        return usage("'table show' takes no arguments");
    if (int c = openDevice())
        return c;
    DeviceStatus status;
    CodeTable table{};
    if (int r = readStatus(status, table))
        return failExchange(kMsgStatusFailed, r);
    if (opt_.json) {
        printTableJson(con_.out, status.keypadType, table);
    } else {
        const auto text = codetable::layoutItemText(status.keypadType);
        con_.out << "Layout: " << status.keypadType << " ("
                 << (text.empty() ? std::string("unknown") : std::string(text)) << ")\n";
        printTableText(con_.out, status.keypadType, table);
    }
    return kExitOk;
}

int Session::cmdTableLoad()
{
    int code = kExitOk;
    if (!allowOnly({"device", "from"}, code))
        return code;
    std::vector<KeyAssignment> assignments;
    for (std::size_t i = 2; i < opt_.words.size(); ++i) {
        std::string error;
        const auto a = parseKeyAssignment(opt_.words[i], error);
        if (!a)
            return usage(error);
        assignments.push_back(*a);
    }
    if (opt_.from && !assignments.empty())
        return usage("'table load' takes key assignments or --from, not both");
    if (!opt_.from && assignments.empty())
        return usage("'table load' needs KEY=CODE[+MODIFIER] pairs or --from CONFIGFILE");

    CodeTable fromFile{};
    if (opt_.from) {
        const std::string& path = *opt_.from;
        if (!readableFile(path))
            return fail(kExitBadInputFile, "Cannot read the file '" + path + "'.");
        try {
            if (!config::CIniFile::SectionExists(config::kSection, path)
                || !config::CIniFile::RecordExists("CodeTableValues", config::kSection, path))
                return fail(kExitBadInputFile,
                            std::string(config::kMsgIncorrectFormat) + " '" + path
                                + "' has no CodeTableValues in section appSettings.");
            std::string error;
            const auto table = parseCodeTableValues(
                config::CIniFile::GetValue("CodeTableValues", config::kSection, path), error);
            if (!table)
                return fail(kExitBadInputFile, std::string(config::kMsgIncorrectFormat) + ' ' + error + '.');
            fromFile = *table;
        } catch (const std::exception&) {
            return fail(kExitBadInputFile, std::string(config::kMsgIncorrectFormat) + " '" + path
                                               + "' has a section line without ']'.");
        }
    }

    if (int c = openDevice())
        return c;
    // As the editor: the table starts from what the encoder reports now.
    DeviceStatus status;
    CodeTable current{};
    if (int r = readStatus(status, current))
        return failExchange(kMsgTableStatus, r);
    if (!codetable::isCustomisedLayout(status.keypadType))
        return fail(kExitFailed, std::string(kMsgNotCustomised) + " The encoder's layout is "
                                     + std::to_string(status.keypadType)
                                     + "; choose 2, 5 or 8 first ('set layout').");

    CodeTable payload{};
    if (opt_.from) {
        payload = fromFile;
    } else {
        const int keys = codetable::layoutKeyCount(status.keypadType);
        for (int key = 1; key <= keys; ++key)
            codetable::setCodeTableEntry(payload, key, codetable::codeTableEntry(current, key));
        for (const auto& a : assignments) {
            if (a.key > keys)
                return usage("key " + std::to_string(a.key) + " is beyond the " + std::to_string(keys)
                             + " keys of the encoder's layout");
            codetable::setCodeTableEntry(payload, a.key, a.entry);
        }
    }
    if (int r = link::sendCommand(hid_handle, link::LOAD_CODE_TABLE, payload))
        return failExchange(kMsgLoadTable, r);
    return kExitOk;
}

int Session::cmdSave()
{
    int code = kExitOk;
    if (!allowOnly({"device"}, code))
        return code;
    if (opt_.words.size() > 1)
        return usage("'save' takes no arguments");
    if (int c = openDevice())
        return c;
    config::setUpConfigFile(reporter());
    if (int r = link::sendCommand(hid_handle, link::WRITE_DEFAULTS))
        return failExchange(kMsgWriteDefaults, r);
    DeviceStatus status;
    CodeTable table{};
    if (int r = readStatus(status, table))
        return failExchange(kMsgSaveConfig, r);
    const config::StoredSettings stored = config::storedSettingsFrom(status, table);
    const std::size_t before = reported_.size();
    config::saveSettings(stored, reporter());
    if (reported_.size() != before)
        return fail(kExitFailed, "The encoder keeps its settings, but the configuration file " + FileName
                                     + " was not fully written.");
    return kExitOk;
}

int Session::cmdFactoryReset()
{
    int code = kExitOk;
    if (!allowOnly({"device"}, code))
        return code;
    if (opt_.words.size() > 1)
        return usage("'factory-reset' takes no arguments");
    if (int c = openDevice())
        return c;
    // The result is not examined: the encoder may restart before it answers.
    link::sendCommand(hid_handle, link::FACTORY_RESET);
    platform::sleepMs(kFactoryResetWaitMs);
    hid_exit_safely(hid_handle);
    hid_handle = nullptr;
    // Back to the same encoder even when it comes back under another path.
    opt_.device = reselector(encoder_.device);
    if (int c = openDevice())
        return c;
    DeviceStatus status;
    CodeTable table{};
    if (int r = readStatus(status, table))
        return failExchange(kMsgStatusFailed, r);
    return kExitOk;
}

int Session::cmdConfig()
{
    if (opt_.words.size() < 2)
        return usage("'config' needs 'export', 'import' or 'apply'");
    const std::string& sub = opt_.words[1];
    if (sub == "apply")
        return cmdConfigApply();
    if (sub != "export" && sub != "import")
        return usage("unknown config command '" + sub + "' (export, import or apply)");
    int code = kExitOk;
    if (!allowOnly({"yes"}, code))
        return code;
    if (opt_.words.size() != 3)
        return usage("'config " + sub + "' needs one " + (sub == "export" ? "folder" : "file"));
    const std::string& path = opt_.words[2];
    config::setUpConfigFile(reporter());

    if (sub == "export") {
        if (!isFolder(path))
            return usage("'" + path + "' is not a folder");
        bool asked = false;
        bool answer = false;
        const bool done = config::exportConfigFile(
            path,
            [&] {
                asked = true;
                answer = platform::dialogs().question(config::kOverwriteCaption, config::kOverwriteQuestion);
                return answer;
            },
            reporter());
        if (done)
            return kExitOk;
        if (asked && !answer)
            return fail(kExitFailed, "Not exported: " + path + "/" + config::kConfigFileName
                                         + " exists (use --yes to overwrite it).");
        return kExitFailed;
    }

    if (!readableFile(path))
        return fail(kExitBadInputFile, "Cannot read the file '" + path + "'.");
    const std::size_t before = reported_.size();
    if (config::importConfigFile(path, reporter()))
        return kExitOk;
    const bool copyFailed = reported_.size() > before && reported_.back() == config::kMsgImportCopyFailed;
    return copyFailed ? kExitFailed : kExitBadInputFile;
}

int Session::cmdConfigApply()
{
    int code = kExitOk;
    if (!allowOnly({"device", "from"}, code))
        return code;
    if (opt_.words.size() > 2)
        return usage("'config apply' takes no arguments (use --from FILE for a backup)");
    config::setUpConfigFile(reporter());
    if (opt_.from && !readableFile(*opt_.from))
        return fail(kExitBadInputFile, "Cannot read the file '" + *opt_.from + "'.");
    if (int c = openDevice())
        return c;

    // The reset reads the file named by FileName; a backup stands in for it.
    const std::string configFile = FileName;
    if (opt_.from)
        FileName = *opt_.from;
    const auto outcome = config::resetFromConfigFile(hid_handle, reporter());
    const int lastResult = link::lastExchangeResult();
    FileName = configFile;

    switch (outcome) {
    case config::ResetOutcome::NotSaved:
        return fail(kExitBadInputFile, "Nothing sent: " + (opt_.from ? *opt_.from : configFile)
                                           + " holds no saved settings (FirstUp is not \"Yes\").");
    case config::ResetOutcome::NotSent:
        return kExitBadInputFile;
    case config::ResetOutcome::KeypadRefused:
    case config::ResetOutcome::TableRefused:
    case config::ResetOutcome::SettingRefused:
        con_.err << "(" << reason(lastResult) << ")\n";
        return exitForExchange(lastResult);
    case config::ResetOutcome::Sent:
        break;
    }
    DeviceStatus status;
    CodeTable table{};
    if (int r = readStatus(status, table))
        return failExchange(kMsgStatusFailed, r);
    return kExitOk;
}

int Session::cmdKeys()
{
    int code = kExitOk;
    if (!allowOnly({"device"}, code))
        return code;
    if (opt_.words.size() > 1)
        return usage("'keys' takes no arguments");
    if (int c = openDevice())
        return c;
    if (int r = link::sendByteCommand(hid_handle, link::SELF_TEST, link::kSelfTestStart))
        return failExchange(kMsgStartSelfTest, r);
    if (con_.catchInterrupts)
        con_.catchInterrupts(true);
    if (con_.errIsTerminal)
        con_.err << "Press the keys of the keypad; Ctrl+C ends the test.\n";

    int result = kExitOk;
    while (!(con_.interrupted && con_.interrupted->load())) {
        std::array<std::uint8_t, link::kReportSize> reply{};
        std::uint32_t length = 0;
        const int r = USBEncoderReceive_a(hid_handle, link::SELF_TEST, reply.data(),
                                          static_cast<std::int32_t>(reply.size()), &length, kKeyPollMs);
        if (r == link::kErrTimeout)
            continue;
        if (r != link::kOk) {
            result = failExchange("The key test stopped.", r);
            break;
        }
        if (length == 0)
            continue;
        if (reply[0] == link::kNoKey) {
            con_.err << "The encoder ended the key test.\n";
            break;
        }
        con_.out << (reply[0] + 1) << std::endl;
    }
    if (con_.catchInterrupts)
        con_.catchInterrupts(false);
    if (int r = link::sendByteCommand(hid_handle, link::SELF_TEST, link::kSelfTestEnd)) {
        const int c = failExchange(kMsgEndSelfTest, r);
        return result == kExitOk ? c : result;
    }
    return result;
}

int Session::cmdList()
{
    int code = kExitOk;
    if (!allowOnly({"json"}, code))
        return code;
    if (opt_.words.size() > 1)
        return usage("'list' takes no arguments");
    const auto encoders = listEncoders();
    const auto loaders = listLoaders();
    if (opt_.json)
        printBusJson(con_.out, encoders, loaders);
    else
        printBusText(con_.out, encoders, loaders);
    if (encoders.empty() && loaders.empty())
        con_.err << "No encoder or loader found.\n";
    return kExitOk;
}

// The settings about to be written back, in a file that 'config apply --from'
// can send: the configuration file's layout with the values just read.
bool Session::writeBackup(const DeviceStatus& status, const CodeTable& table, std::string& path)
{
    return config::writeUpgradeBackup(config::storedSettingsFrom(status, table), path);
}

int Session::cmdUpgrade()
{
    int code = kExitOk;
    if (!allowOnly({"device", "yes"}, code))
        return code;
    if (opt_.words.size() != 2)
        return usage("'upgrade' needs one firmware image file (TI-TXT)");
    const std::string& image = opt_.words[1];

    // Nothing on the encoder is touched for a file that is not a whole image.
    const auto check = firmware::checkFirmwareFile(image);
    if (check.result == firmware::ImageCheck::CannotOpen)
        return fail(kExitBadInputFile, "Cannot read the firmware file '" + image + "'.");
    if (check.result == firmware::ImageCheck::Malformed)
        return fail(kExitBadInputFile, "'" + image + "' is not a valid TI-TXT firmware file (" + check.reason + ").");

    config::setUpConfigFile(reporter());
    ProgressPrinter progress(con_.out, con_.outIsTerminal);
    firmware::UpgradeSequence sequence(
        [&progress](int percent, const std::string& text) { progress.report(percent, text); });

    // With no encoder in application mode, one already waiting in its loader
    // is upgraded as the window allows; its settings are unknown then.
    const OpenStatus opened = openEncoder(opt_.device, encoder_);
    const bool inLoaderAlready =
        opened == OpenStatus::NoEncoder && opt_.device.empty() && sequence.countLoaders() > 0;
    if (!inLoaderAlready) {
        if (int c = reportOpen(opened))
            return c;
    }
    // The sequence takes the first loader on the bus: with another encoder
    // already waiting there, that one would get the image and ours the write-back.
    if (!inLoaderAlready && sequence.countLoaders() > 0)
        return fail(kExitFailed, "Not upgraded: another encoder waits in its loader. Upgrade that one first "
                                 "(without --device, with no encoder in application mode attached) or "
                                 "unplug it.");
    if (!platform::dialogs().question(kUpgradeCaption, kMsgUpgradeQuestion))
        return fail(kExitFailed, "Not upgraded (confirm with --yes).");

    firmware::RestoreValues values;
    if (!inLoaderAlready) {
        // Without the settings the write-back would put zeros into the new
        // firmware, so the upgrade does not start.
        DeviceStatus status;
        CodeTable table{};
        if (int r = readStatus(status, table))
            return failExchange(kMsgStatusFailed, r);
        values.ledBrightness = status.ledBrightness;
        values.buzzer = status.buzzer;
        values.buzzerPeriod = status.buzzerPeriod;
        values.keypadType = status.keypadType;
        values.options = status.optionsFitted;
        values.keyCodeArray = table;
        std::string backup;
        if (!writeBackup(status, table, backup))
            return fail(kExitFailed, "Not upgraded: the settings could not be saved to a backup file"
                                         + (backup.empty() ? std::string(".") : " (" + backup + ")."));
        con_.err << "Settings saved to " << backup << '\n';
        // The encoder restarts into its loader; an unanswered command is expected.
        link::sendCommand(hid_handle, link::ENTER_BSL);
        hid_exit_safely(hid_handle);
        hid_handle = nullptr;

        std::uint32_t waited = 0;
        while (sequence.countLoaders() == 0 && waited < kLoaderWaitMs) {
            platform::sleepMs(kLoaderPollMs);
            waited += kLoaderPollMs;
        }
        if (sequence.countLoaders() == 0)
            return fail(kExitUpgradeFailed, "The encoder did not appear as a loader after ENTER_BSL; the "
                                            "settings are in " + backup + ".");
    }

    if (!sequence.run(image)) {
        progress.finish();
        return fail(kExitUpgradeFailed, "The firmware upgrade failed; the encoder waits in its loader. Run "
                                        "the upgrade again.");
    }
    progress.finish();

    // The window re-opens the first encoder; here it is the one upgraded.
    platform::sleepMs(firmware::kRestartWaitMs);
    if (!inLoaderAlready)
        opt_.device = reselector(encoder_.device);
    if (int c = openDevice())
        return c;
    if (inLoaderAlready) {
        con_.err << "No settings were read before the upgrade, so none were written back; send them with '"
                 << con_.programName << " config apply' (or --from a backup file) and '" << con_.programName
                 << " save'.\n";
        return kExitOk;
    }
    if (!firmware::writeBackSettings(hid_handle, values)) {
        const int r = link::lastExchangeResult();
        con_.err << "(" << reason(r) << ")\nThe firmware was upgraded, but the settings were not all written "
                    "back.\n";
        return exitForExchange(r);
    }
    return kExitOk;
}

} // namespace

int runCli(const std::vector<std::string>& args, Console& console)
{
    Options options;
    std::string error;
    if (!parseOptions(args, options, error)) {
        console.err << console.programName << ": " << error << '\n'
                    << "Try '" << console.programName << " --help'.\n";
        return kExitUsage;
    }
    platform::Dialogs& previous = platform::dialogs();
    ConsoleDialogs dialogs(console, options.yes);
    platform::setDialogs(&dialogs);
    int code = kExitOk;
    {
        Session session(console, std::move(options));
        code = session.run();
    }
    platform::setDialogs(&previous);
    return code;
}

} // namespace vardo::cli
