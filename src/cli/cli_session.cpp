#include "cli/cli_session.h"

#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"
#include "cli/exit_codes.h"
#include "firmware/upgrade_targets.h"
#include "link/device_access.h"
#include "link/hid_transport.h"

#include "platform/atomic_file.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>
#include <ostream>
#include <span>
#include <unistd.h>

#ifndef VARDO_VERSION
#define VARDO_VERSION "unknown"
#endif

namespace vardo::cli {

namespace {

// What is wrong with path as a file to read, or "" when it is a regular file.
std::string unusableBecause(const std::string& path)
{
    switch (platform::fileKind(path)) {
    case platform::FileKind::Regular:
        return {};
    case platform::FileKind::Missing:
        return "does not exist";
    case platform::FileKind::Folder:
        return "is a folder, not a file";
    case platform::FileKind::DanglingLink:
        return "is a symbolic link to a file that does not exist";
    case platform::FileKind::Special:
        return "is not a regular file (a pipe, socket or device)";
    case platform::FileKind::Unreachable:
        break;
    }
    return "cannot be reached (a folder on the way may not be searched)";
}

} // namespace

Session::~Session()
{
    closeDevice();
    if (!stdinCopy_.empty()) {
        std::remove(stdinCopy_.c_str());
        ::rmdir(stdinCopy_.substr(0, stdinCopy_.rfind('/')).c_str());
    }
}

void Session::closeDevice()
{
    // The library is shut down whether or not an encoder was open; a failed
    // shutdown leaves nothing the tool could put right.
    encoder_.encoder.reset();
    static_cast<void>(hid_exit());
}

int Session::fail(int code, const std::string& text)
{
    con_.err << text << '\n';
    failures_.push_back(text);
    return code;
}

int Session::usage(const std::string& text)
{
    failures_.push_back(text);
    con_.err << con_.programName << ": " << text << '\n'
             << "Try '" << con_.programName << " --help'.\n";
    return kExitUsage;
}

int Session::failExchange(const std::string& text, device::Result result)
{
    failures_.push_back(text + " (" + device::reasonText(result) + ")");
    con_.err << failures_.back() << '\n';
    return exitForExchange(result);
}

config::Report Session::reporter()
{
    return [this](const std::string& text) {
        if (std::find(reported_.begin(), reported_.end(), text) == reported_.end())
            con_.err << text << '\n';
        reported_.push_back(text);
    };
}

int Session::checkLine(const CommandForm& form, bool onAll)
{
    for (const auto& g : opt_.given) {
        if (!form.takes(g) && !(onAll && (g == "all" || g == "json"))) {
            // Another process at work on the encoder is what must be heard
            // first, whatever else is wrong with the line (nothing is sent).
            if (!onAll) {
                OpenedEncoder probe;
                if (openEncoder(opt_.device, probe) == OpenStatus::Opened) {
                    const device::PortLock lock(probe.device.port, probe.device.path);
                    if (lock.state() == device::PortLockState::Busy)
                        return fail(kExitEncoderBusy, lock.problem());
                }
            }
            return usage("option --" + g + " does not apply to '" + opt_.words[0] + "'");
        }
    }
    if (form.wordsError && (opt_.words.size() < form.minWords || opt_.words.size() > form.maxWords))
        return usage(form.wordsError);
    return kExitOk;
}

int Session::requireReadable(const std::string& path)
{
    if (path == "-")
        return takeStandardInput();
    const std::string why = unusableBecause(path);
    if (!why.empty())
        return fail(kExitBadInputFile, "Cannot read the file '" + path + "': it " + why + ".");
    if (::access(path.c_str(), R_OK) != 0)
        return fail(kExitBadInputFile, "Cannot read the file '" + path + "'.");
    return kExitOk;
}

int Session::takeStandardInput()
{
    if (!stdinCopy_.empty())
        return kExitOk;
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/vardo-encoder-XXXXXX";
    if (!con_.in || !::mkdtemp(folder.data()))
        return fail(kExitBadInputFile, "Cannot read standard input ('-').");
    // Named as the configuration file, so that 'config import -' passes the name check.
    const std::string copy = folder + "/" + config::kConfigFileName;
    std::ofstream out(copy, std::ios::binary);
    // Copied up to one byte past the longest input any command takes (an
    // image), so that a stream without end costs neither disk nor time.
    constexpr std::size_t kLimit = std::size_t{1} << 22;
    std::vector<char> buffer(1u << 16);
    std::size_t total = 0;
    while (total <= kLimit && con_.in->read(buffer.data(), static_cast<std::streamsize>(buffer.size())).gcount() > 0) {
        total += static_cast<std::size_t>(con_.in->gcount());
        out.write(buffer.data(), con_.in->gcount());
    }
    out.close();
    if (con_.in->bad() || !out || total > kLimit) {
        std::remove(copy.c_str());
        ::rmdir(folder.c_str());
        return fail(kExitBadInputFile, total > kLimit ? "Standard input ('-') is too large (more than "
                                                            + std::to_string(kLimit) + " bytes)."
                                                      : std::string("Cannot read standard input ('-')."));
    }
    stdinCopy_ = copy;
    // Read to its end, it can answer no question.
    con_.in = nullptr;
    con_.inIsTerminal = false;
    return kExitOk;
}

std::string Session::openedPath(const std::string& path) const
{
    return path == "-" && !stdinCopy_.empty() ? stdinCopy_ : path;
}

int Session::useConfigFile(bool setUp)
{
    // What the set-up could not do, the checks below and the command itself report.
    if (setUp)
        static_cast<void>(config::setUpConfigFile(configFile_, reporter()));
    if (configFile_.empty())
        return fail(kExitBadInputFile, "No configuration file: HOME is empty or unset and this user's passwd entry "
                                       "names no home folder (set HOME or XDG_DATA_HOME).");
    const std::string why = unusableBecause(configFile_);
    if (!why.empty() && !(setUp && platform::fileKind(configFile_) == platform::FileKind::Missing))
        return fail(kExitBadInputFile, "The configuration file " + configFile_ + " " + why + ".");
    return kExitOk;
}

int Session::openDevice(bool lock)
{
    if (int c = reportOpen(openEncoder(opt_.device, encoder_)))
        return c;
    return lock ? lockEncoder() : kExitOk;
}

int Session::lockEncoder()
{
    if (portLock_.state() == device::PortLockState::Held)
        return kExitOk;
    portLock_ = device::PortLock(encoder_.device.port, encoder_.device.path);
    if (const int c = exitForLock(portLock_.state()))
        return fail(c, portLock_.problem());
    return kExitOk;
}

int Session::reportOpen(OpenStatus s)
{
    // An encoder stuck in its loader there is no encoder, but can be recovered.
    BusDevice stuck;
    const bool inLoader = (s == OpenStatus::NoEncoder || s == OpenStatus::NoMatch) && findLoader(opt_.device, stuck);
    // Unless another process has it there, upgrading it: that one is to be named.
    if (inLoader) {
        const device::PortLock probe(stuck.port, stuck.path);
        if (probe.state() == device::PortLockState::Busy)
            return fail(kExitEncoderBusy, probe.problem());
    }
    const std::string recovery =
        inLoader ? "\n" + firmware::recoveryAdvice(con_.programName, benchName(stuck)) : std::string();
    switch (s) {
    case OpenStatus::Opened:
        return kExitOk;
    case OpenStatus::NoEncoder:
        return fail(kExitNoEncoder, messages::kNotConnected + recovery);
    case OpenStatus::NoMatch:
        if (!recovery.empty())
            return fail(kExitNoEncoder, messages::kNotConnected + recovery);
        return fail(kExitNoEncoder, std::string(messages::kNotConnected) + "\nNo encoder has the path, serial number or port '"
                                        + opt_.device + "' (see '" + con_.programName + " list').");
    case OpenStatus::PermissionDenied:
        return fail(kExitPermission, std::string(messages::kNotConnected) + "\nAn encoder is attached at "
                                         + encoder_.device.path
                                         + " but this user may not open it (permission denied).\n"
                                         + link::udevRuleAdvice());
    case OpenStatus::OpenFailed:
        break;
    }
    return fail(kExitNoEncoder, std::string(messages::kNotConnected) + "\nThe encoder at " + encoder_.device.path
                                    + " could not be opened.");
}

int Session::readStatus(link::DeviceStatus& status, const char* failure)
{
    if (const device::Result r = encoder().readStatus(status); r != device::Result::Ok)
        return failExchange(failure, r);
    return kExitOk;
}

int Session::openWithStatus(link::DeviceStatus& status, const char* failure, bool lock)
{
    if (int c = openDevice(lock))
        return c;
    return readStatus(status, failure);
}

int Session::cmdHelp()
{
    // Help is text, or with --json and no command what the tool knows: never a change.
    resultWritten_ = true;
    const std::string topic = opt_.words.size() > 1 ? opt_.words[1] : opt_.help ? "help" : "";
    if (opt_.json && topic.empty()) {
        printHelpJson(con_.out, con_.programName);
        return kExitOk;
    }
    const std::string text = helpText(con_.programName, topic);
    if (text.empty()) {
        std::vector<std::string> names;
        for (const auto& c : commandTable())
            names.emplace_back(c.name);
        return usage("no help for '" + topic + "': unknown command" + didYouMean(topic, names));
    }
    con_.out << text;
    return kExitOk;
}

int Session::run()
{
    int code = dispatch();
    if (code == kExitOk && signalled_.load() != 0)
        code = 128 + signalled_.load();
    if (code != kExitOk && opt_.json && !summaryWritten_)
        printFailureJson(con_.out, failureText(code), code, encoder_.device.port);
    else if (code == kExitOk && opt_.json && !summaryWritten_ && !resultWritten_)
        printChangeJson(con_.out, encoder_.device.port, changed_ || !sent_.empty(), sent_);
    return code;
}

std::string Session::failureText(int code) const
{
    // The configuration logic's messages first: a command may say why through them alone.
    std::vector<std::string> said;
    for (const auto& line : reported_)
        if (std::find(said.begin(), said.end(), line) == said.end())
            said.push_back(line);
    said.insert(said.end(), failures_.begin(), failures_.end());
    std::string text;
    for (const auto& line : said)
        text += (text.empty() ? "" : "\n") + line;
    return text.empty() ? "failed (exit " + std::to_string(code) + ")" : text;
}

int Session::dispatch()
{
    // The version and the help print what they print, under --json too.
    resultWritten_ = opt_.version || opt_.help;
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
    const std::string& name = opt_.words[0];
    const Command* command = findCommand(name);
    if (!command) {
        std::vector<std::string> names;
        for (const auto& c : commandTable())
            names.emplace_back(c.name);
        return usage("unknown command '" + name + "'" + didYouMean(name, names));
    }
    if (command->runsAsGiven)
        return (this->*command->forms.front().handler)();
    if (opt_.help) {
        con_.out << helpText(con_.programName, name);
        return kExitOk;
    }
    if (opt_.all)
        return runOnAll(*command);
    if (command->hasSubs() && opt_.words.size() < 2)
        return usage("'" + name + "' needs " + command->subList(true));
    const CommandForm* form = command->form(opt_.words.size() > 1 ? opt_.words[1] : "");
    if (!form) {
        std::vector<std::string> subs;
        for (const auto& f : command->forms)
            subs.emplace_back(f.sub);
        return usage("unknown " + name + " command '" + opt_.words[1] + "' (" + command->subList(false) + ")"
                     + didYouMean(opt_.words[1], subs));
    }
    if (int c = checkLine(*form, false))
        return c;
    return (this->*form->handler)();
}

} // namespace vardo::cli
