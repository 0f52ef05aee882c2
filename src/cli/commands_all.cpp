// The commands for a bench of encoders: list, of the whole bus, and --all,
// which runs a command on every attached encoder: one after the other, or
// for upgrades all at once, one worker per encoder, each on its own port.
#include "cli/cli_output.h"
#include "cli/cli_session.h"
#include "cli/exit_codes.h"
#include "cli/upgrade_signals.h"
#include "config/utility_config.h"
#include "firmware/upgrade_job.h"
#include "firmware/upgrade_targets.h"
#include "device/outcome.h"
#include "firmware/loader_texts.h"
#include "link/device_access.h"
#include "link/encoder_commands.h"
#include "link/messages.h"

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <mutex>
#include <ostream>
#include <sstream>
#include <thread>

namespace vardo::cli {

namespace {

// The model and firmware an encoder reports; left empty, with the reason, when
// it cannot be opened or does not answer, so a list never stops at one bad encoder.
void readModelAndFirmware(BusDevice& device)
{
    const auto encoder = device::Encoder::open(device.path);
    if (!encoder) {
        device.problem = link::lacksPermission(device.path) ? "permission denied" : "cannot be opened (busy or gone)";
        return;
    }
    link::DeviceStatus status;
    if (const auto r = encoder->readStatus(status); r != device::Result::Ok) {
        device.problem = device::reasonText(r);
        return;
    }
    device.model = messages::modelName(status.optionsFitted);
    device.firmware = status.firmwareVersion;
}

std::vector<std::string> textLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!line.empty())
                lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// One progress line per port: redrawn in place on a terminal, else each
// status line as "PORT  NN% text". Reports come from the workers' threads.
class PortProgress {
public:
    PortProgress(std::ostream& out, bool drawn, const std::vector<std::string>& ports) : out_(out), drawn_(drawn)
    {
        for (const auto& p : ports)
            lines_.push_back({p, 0, ""});
        for (const auto& l : lines_)
            width_ = std::max(width_, l.port.size());
    }

    void report(std::size_t index, int percent, const std::string& text)
    {
        std::lock_guard lock(mutex_);
        Line& line = lines_[index];
        line.percent = std::clamp(percent, 0, 100);
        const auto status = textLines(text);
        if (!drawn_) {
            for (const auto& s : status)
                out_ << std::left << std::setw(static_cast<int>(width_)) << line.port << "  " << std::right
                     << std::setw(3) << line.percent << "% " << s << '\n';
            out_.flush();
            return;
        }
        if (!status.empty())
            line.text = status.back();
        redraw();
    }

    // A line of its own on err (a backup written, a signal answered); lines
    // drawn in place are drawn again below it.
    void note(std::ostream& err, const std::string& text)
    {
        std::lock_guard lock(mutex_);
        if (drawn_ && shown_) {
            out_ << "\x1b[" << lines_.size() << "A\x1b[J" << std::flush;
            shown_ = false;
        }
        err << text << std::endl;
        if (drawn_)
            redraw();
    }

private:
    struct Line {
        std::string port;
        int percent;
        std::string text;
    };

    void redraw()
    {
        if (shown_)
            out_ << "\x1b[" << lines_.size() << 'A';
        for (const auto& l : lines_) {
            const int filled = l.percent * 20 / 100;
            out_ << "\r\x1b[K" << std::left << std::setw(static_cast<int>(width_)) << l.port << "  ["
                 << std::string(static_cast<std::size_t>(filled), '#')
                 << std::string(static_cast<std::size_t>(20 - filled), '.') << "] " << std::right << std::setw(3)
                 << l.percent << "%  " << l.text << '\n';
        }
        shown_ = true;
        out_.flush();
    }

    std::mutex mutex_;
    std::ostream& out_;
    bool drawn_;
    bool shown_ = false;
    std::size_t width_ = 0;
    std::vector<Line> lines_;
};

// How an upgrade left a port, least harm first: the bench's exit status is
// the worst port's, not the numerically largest.
enum class Harm { None, Untouched, Refused, NoSettings, InLoader };

Harm harmOf(const firmware::Outcome& o, bool loaderOnPort)
{
    using firmware::Phase;
    if (o.ok())
        return Harm::None;
    if (o.cancelled || o.phase == Phase::CheckInputs || o.phase == Phase::OpenEncoder)
        return Harm::Untouched;
    switch (o.phase) {
    case Phase::ReadSettings:
    case Phase::Backup:
        return Harm::Refused;
    case Phase::FindEncoder:
        return loaderOnPort ? Harm::InLoader : Harm::NoSettings;
    case Phase::WriteBack:
        return Harm::NoSettings;
    default:
        break;
    }
    return Harm::InLoader;
}

const char* harmText(Harm harm)
{
    switch (harm) {
    case Harm::None:
        break;
    case Harm::Untouched:
    case Harm::Refused:
        return "the encoder was not changed";
    case Harm::NoSettings:
        return "the encoder runs the new firmware without its settings";
    case Harm::InLoader:
        return "the encoder is left in its loader, without firmware";
    }
    return "";
}

// A word for a shell line, quoted where it needs it.
std::string shellWord(const std::string& word)
{
    if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                                "-_./:=+,@%")
                             == std::string::npos)
        return word;
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// One encoder's part of a run on the bench.
struct PortRun {
    BusDevice device;
    int exit = kExitOk;
    std::string outcome;
    std::string output;                 // what the command printed (status, ...)
    std::vector<std::string> messages;  // what it said on the error stream
    std::string backup;
    Harm harm = Harm::None;             // upgrades only
    bool imageStrands = false;          // the image went in whole, yet the encoder restarted into its loader
    std::string recover;                // the command that puts it right; "" for none
};

void printSummaryText(std::ostream& out, const std::vector<PortRun>& runs, bool withBackup,
                      bool withReasons = false)
{
    std::vector<std::array<std::string, 4>> rows{{"PORT", "SERIAL", "OUTCOME", withBackup ? "BACKUP" : ""}};
    for (const auto& r : runs)
        rows.push_back({benchName(r.device), r.device.serial.empty() ? "-" : r.device.serial, r.outcome,
                        withBackup ? (r.backup.empty() ? "-" : r.backup) : ""});
    std::array<std::size_t, 4> width{};
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i)
            width[i] = std::max(width[i], row[i].size());
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i)
            line += row[i] + (i + 1 < row.size() ? std::string(width[i] - row[i].size() + 2, ' ') : "");
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out << line << '\n';
    }
    if (!withReasons)
        return;
    for (const auto& r : runs)
        for (const auto& m : r.messages)
            out << benchName(r.device) << ": " << m << '\n';
}

void printSummaryJson(std::ostream& out, const std::vector<PortRun>& runs, bool withBackup)
{
    out << '[';
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const PortRun& r = runs[i];
        out << (i ? "," : "") << "{\"port\":" << jsonString(r.device.port) << ",\"path\":" << jsonString(r.device.path)
            << ",\"serial\":" << jsonString(r.device.serial) << ",\"outcome\":" << jsonString(r.outcome)
            << ",\"exit\":" << r.exit;
        if (withBackup)
            out << ",\"backup\":" << jsonString(r.backup);
        if (withBackup || !r.recover.empty())
            out << ",\"recover\":" << (r.recover.empty() ? std::string("null") : jsonString(r.recover));
        std::string output = r.output;
        while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
            output.pop_back();
        // A command's own JSON (status --json) is kept as it is.
        if (!output.empty())
            out << ",\"output\":" << (output.front() == '{' ? output : jsonString(output));
        out << ",\"messages\":[";
        for (std::size_t m = 0; m < r.messages.size(); ++m)
            out << (m ? "," : "") << jsonString(r.messages[m]);
        out << "]}";
    }
    out << "]\n";
}

// The command that puts a failed port right (or tries it again).
std::string recoveryCommand(const std::string& program, const Options& opt, const PortRun& run)
{
    const std::string device = shellWord(program) + " --device " + shellWord(run.device.port);
    if (run.harm == Harm::NoSettings && !run.backup.empty())
        return device + " config apply --from " + shellWord(run.backup) + " && " + device + " save";
    // An image that left the encoder in its loader would do so again.
    const std::string& image = opt.words[1];
    std::string command = device + " upgrade "
                          + (image == "-" || run.imageStrands ? std::string("IMAGE.txt") : shellWord(image));
    if (!opt.ramLoader.empty())
        command += " --ram-loader " + shellWord(opt.ramLoader);
    if (!opt.password.empty())
        command += " --password " + shellWord(opt.password);
    return command;
}

// The worst port's exit status: by harm first (upgrades), then the larger code.
int worstExit(const std::vector<PortRun>& runs)
{
    const PortRun* worst = nullptr;
    for (const auto& r : runs)
        if (!worst || std::pair(r.harm, r.exit) > std::pair(worst->harm, worst->exit))
            worst = &r;
    return worst ? worst->exit : kExitOk;
}

} // namespace

int Session::cmdList()
{
    auto encoders = listEncoders();
    for (auto& d : encoders)
        readModelAndFirmware(d);
    auto loaders = listLoaders();
    // An encoder mid-upgrade shares its port with its loader; one without is stuck there.
    for (auto& l : loaders) {
        if (std::any_of(encoders.begin(), encoders.end(), [&](const BusDevice& e) {
                return !l.port.empty() && e.port == l.port;
            }))
            continue;
        l.model = "(waiting in its loader)";
        l.recover = firmware::recoveryCommand(con_.programName, benchName(l));
    }
    resultWritten_ = opt_.json;
    if (opt_.json) {
        printBusJson(con_.out, encoders, loaders);
    } else {
        printBusText(con_.out, encoders, loaders);
        for (const auto& l : loaders)
            if (!l.recover.empty())
                con_.out << firmware::recoveryAdvice(con_.programName, benchName(l)) << '\n';
    }
    if (encoders.empty() && loaders.empty())
        con_.err << "No encoder or loader found.\n";
    return kExitOk;
}

int Session::runOnAll(const Command& command)
{
    const std::string second = opt_.words.size() > 1 ? opt_.words[1] : "";
    const CommandForm* form = command.form(second);
    if (!form || form->onAll == OnAll::No)
        return usage("option --all does not apply to '" + opt_.words[0] + (second.empty() ? "" : " " + second)
                     + "'");
    if (opt_.given.count("device"))
        return usage("--all and --device exclude each other");
    // A backup holds one encoder's settings.
    if (opt_.given.count("restore"))
        return usage("--all and --restore exclude each other");
    if (form->onAll == OnAll::AtOnce) {
        if (int c = checkLine(*form, true))
            return c;
        return (this->*form->onAllHandler)();
    }
    const auto encoders = listEncoders();
    // An encoder waiting in its loader is a port of the bench too: named, never passed over.
    std::vector<BusDevice> stuck;
    for (const auto& l : listLoaders())
        if (l.port.empty() || std::none_of(encoders.begin(), encoders.end(),
                                           [&](const BusDevice& e) { return e.port == l.port; }))
            stuck.push_back(l);
    if (encoders.empty() && stuck.empty())
        return fail(kExitNoEncoder, messages::kNotConnected);

    // Each encoder gets the command as if named with --device; a command that
    // speaks JSON itself (status) keeps --json, the others are summed up in it.
    Options one = opt_;
    // Standard input is read once; each encoder's run reads it from a copy.
    std::string piped;
    const bool stateFromInput = std::string(command.name) == "apply" && opt_.words.size() > 1 && opt_.words[1] == "-";
    if ((one.from && *one.from == "-") || stateFromInput) {
        if (int c = takeStandardInput())
            return c;
        std::ifstream copy(stdinCopy_, std::ios::binary);
        piped.assign(std::istreambuf_iterator<char>(copy), std::istreambuf_iterator<char>());
    }
    one.all = false;
    one.given.erase("all");
    one.given.insert("device");
    if (!form->takes("json")) {
        one.json = false;
        one.given.erase("json");
    }
    std::vector<PortRun> runs;
    for (const auto& device : encoders) {
        std::ostringstream out;
        std::ostringstream err;
        std::istringstream in(piped);
        Console console(out, err);
        console.programName = con_.programName;
        console.in = &in;
        one.device = device.port.empty() ? device.path : device.port;
        PortRun run;
        run.device = device;
        Session session(console, one, configFile_);
        run.exit = session.run();
        // A command line wrong for one encoder is wrong for all: said once.
        if (run.exit == kExitUsage) {
            con_.err << err.str();
            failures_ = session.failures_;
            return kExitUsage;
        }
        run.outcome = run.exit == kExitOk ? "ok" : "failed (exit " + std::to_string(run.exit) + ")";
        run.output = out.str();
        run.messages = textLines(err.str());
        // Its reason is in the messages; what gives access is a command of its own.
        if (run.exit == kExitPermission)
            run.recover = "sudo udevadm control --reload && sudo udevadm trigger";
        for (const auto& m : run.messages)
            con_.err << benchName(device) << ": " << m << '\n';
        runs.push_back(std::move(run));
    }
    for (const auto& loader : stuck) {
        PortRun run;
        run.device = loader;
        run.exit = kExitNoEncoder;
        run.harm = Harm::InLoader;
        run.outcome = "in its loader (exit 3)";
        run.recover = firmware::recoveryCommand(con_.programName, benchName(loader));
        run.messages = {"No encoder answers on " + benchName(loader)
                            + ": it waits in its bootstrap loader (its firmware does not run). Nothing was sent.",
                        "Recover with: " + run.recover};
        for (const auto& m : run.messages)
            con_.err << benchName(loader) << ": " << m << '\n';
        runs.push_back(std::move(run));
    }
    if (opt_.json) {
        printSummaryJson(con_.out, runs, false);
        summaryWritten_ = true;
    } else {
        for (const auto& r : runs) {
            if (r.output.empty())
                continue;
            con_.out << "== " << benchName(r.device) << " ==\n" << r.output;
        }
        printSummaryText(con_.out, runs, false);
    }
    return worstExit(runs);
}

int Session::upgradeAll()
{
    firmware::FirmwareImage image;
    firmware::Readiness ready;
    // The bench names every port itself, and refuses any loader already waiting below.
    if (int c = loadUpgradeInputs(image, ready, true, "the encoders"))
        return c;
    const auto encoders = listEncoders();
    if (encoders.empty())
        return fail(kExitNoEncoder, messages::kNotConnected);
    for (const auto& d : encoders)
        if (d.port.empty())
            return fail(kExitFailed, "Not upgraded: the USB port of " + d.path
                                         + " is unknown, so its loader could not be told from the others'.");
    // A loader already waiting could be taken for one of ours: none may be there.
    if (const auto loaders = listLoaders(); !loaders.empty()) {
        std::string refusal = "Not upgraded: an encoder waits in its loader already. Upgrade it on its own "
                              "(without --all) or unplug it first.";
        for (const auto& l : loaders)
            refusal += "\n" + firmware::recoveryAdvice(con_.programName, benchName(l));
        return fail(kExitFailed, refusal);
    }
    // Every port locked before any encoder is touched; one in use stops the run.
    std::vector<device::PortLock> locks;
    for (const auto& d : encoders) {
        locks.emplace_back(d.port, d.path);
        if (const int c = exitForLock(locks.back().state()))
            return fail(c, locks.back().problem() + " Nothing was sent to the encoders.");
    }
    if (int c = askUpgradeQuestion())
        return c;
    // The jobs' question about the erase, answered once for the bench before any starts.
    if (ready.texts.passwordMissing && !allowMassErase())
        return massEraseRefused();
    // A file that could not be set up shows as backups that cannot be written.
    static_cast<void>(config::setUpConfigFile(configFile_, reporter()));
    const std::string& configFile = configFile_;

    std::vector<std::string> ports;
    for (const auto& d : encoders)
        ports.push_back(d.port);
    // With --json the summary alone goes to the output; progress to the error stream.
    std::ostream& progressStream = opt_.json ? con_.err : con_.out;
    PortProgress progress(progressStream, opt_.json ? con_.errIsTerminal : con_.outIsTerminal, ports);
    std::vector<PortRun> runs(encoders.size());
    std::vector<firmware::Outcome> results(encoders.size());
    std::mutex backupMutex;
    // From here a signal is held back; what it says comes between the progress lines.
    UpgradeInterrupts watched(
        ports, [&](const std::string& text) { progress.note(con_.err, text); }, signalled_, con_.watchSignals);
    {
        std::vector<std::thread> workers;
        for (std::size_t i = 0; i < encoders.size(); ++i) {
            runs[i].device = encoders[i];
            workers.emplace_back([&, i] {
                firmware::Hooks hooks;
                hooks.event = [&progress, &run = runs[i], &stretch = watched[i], i](const firmware::Event& e) {
                    stretch.progress(e.phase, e.percent);
                    if (e.notice == firmware::Notice::None)
                        progress.report(i, e.percent, e.text);
                    // Kept with this port's outcome rather than printed among the progress lines.
                    else if (e.notice == firmware::Notice::WriteBackFailed)
                        for (const auto& line : textLines(e.text))
                            run.messages.push_back(line);
                };
                // Backups are named by the second: one at a time, so each gets its own file.
                hooks.keep = [&, port = encoders[i].port, serial = encoders[i].serial](
                                 const link::DeviceStatus& settings, std::string& path) {
                    std::unique_lock lock(backupMutex);
                    if (!config::writeUpgradeBackup(settings, configFile, serial, port, path))
                        return false;
                    lock.unlock();
                    // Said at once: should the run end here, which file is whose is known.
                    progress.note(con_.err, port + ": settings saved to " + path);
                    return true;
                };
                hooks.mayEnterLoader = [&stretch = watched[i]] { return stretch.mayEnterLoader(); };
                hooks.allowMassErase = [] { return true; };
                firmware::UpgradeJob job(firmware::benchPolicy(encoders[i].port), std::move(hooks));
                job.setLoaderTexts(ready.texts.texts);
                results[i] = job.run(image);
                watched[i].finish();
            });
        }
        for (auto& w : workers)
            w.join();
    }

    std::vector<std::string> loaderPorts;
    for (const auto& l : listLoaders())
        loaderPorts.push_back(l.port);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        PortRun& run = runs[i];
        const firmware::Outcome& o = results[i];
        run.exit = exitForUpgrade(o, watched.signal());
        run.outcome = firmware::outcomeName(o);
        run.backup = o.backupPath;
        for (const auto& m : run.messages)
            con_.err << run.device.port << ": " << m << '\n';
        if (o.ok())
            continue;
        const bool inLoader = std::find(loaderPorts.begin(), loaderPorts.end(), run.device.port) != loaderPorts.end();
        run.harm = harmOf(o, inLoader);
        run.imageStrands = inLoader && o.phase == firmware::Phase::FindEncoder;
        // However it got there, an encoder in its loader is a failed upgrade.
        if (run.harm == Harm::InLoader)
            run.exit = kExitUpgradeFailed;
        const std::string harm = o.cancelled ? std::string() : std::string("; ") + harmText(run.harm);
        run.messages.push_back(firmware::describe(o) + harm + ".");
        // Settings that cannot be written back would stop the next try too.
        if (!o.settingsProblem.empty())
            continue;
        run.recover = recoveryCommand(con_.programName, opt_, run);
        run.messages.push_back((run.harm >= Harm::NoSettings ? "Recover with: " : "Try again with: ") + run.recover);
    }
    summaryWritten_ = opt_.json;
    if (opt_.json)
        printSummaryJson(con_.out, runs, true);
    else
        printSummaryText(con_.out, runs, true, true);
    return worstExit(runs);
}

} // namespace vardo::cli
