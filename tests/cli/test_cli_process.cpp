// vardo-encoder-demo run as a process: whole command lines against what they
// must print and return (transcripts/cases.txt), and SIGINT, SIGHUP and a
// broken pipe ending `keys` cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <poll.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct ProcessResult {
    int code = -1;
    std::string out;
    std::string err;
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CliProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vardo-cliproc-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }

    // Runs program (the demo) with its output streams in files and stdin at
    // inPath, HOME the test's folder and the data folder in it.
    // outPath "gone": stdout and stderr are a pipe nobody reads any more (a closed terminal).
    ProcessResult run(const std::vector<std::string>& args, const std::string& inPath = "/dev/null",
                      const char* program = VARDO_ENCODER_DEMO, std::string outPath = {})
    {
        const std::string errPath = root + "/err";
        if (outPath.empty())
            outPath = root + "/out";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("HOME", root.c_str(), 1);
            ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
            const int in = ::open(inPath.c_str(), O_RDONLY);
            const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            int gone[2];
            if (outPath == "gone" && ::pipe(gone) == 0) {
                ::close(gone[0]);
                ::dup2(gone[1], 1);
                ::dup2(gone[1], 2);
            }
            std::vector<char*> argv{const_cast<char*>(program)};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program, argv.data());
            ::_exit(127);
        }
        ProcessResult r;
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            r.code = WEXITSTATUS(status);
        r.out = outPath == root + "/out" ? readFile(outPath) : std::string();   // /dev/full reads endless zeros
        if (pid > 0 && WIFSIGNALED(status))
            r.code = 1000 + WTERMSIG(status);
        r.err = readFile(errPath);
        return r;
    }

    // Starts the demo's `keys` (with state unless "") with its output into
    // pipeFds[0], which the caller closes; -1 when it could not start.
    pid_t startKeys(const std::string& press, const std::string& state, int pipeFds[2])
    {
        if (::pipe(pipeFds) != 0)
            return -1;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
            ::dup2(pipeFds[1], 1);
            ::close(pipeFds[0]);
            const int devnull = ::open("/dev/null", O_RDWR);
            ::dup2(devnull, 0);
            ::dup2(devnull, 2);
            if (state.empty())
                ::execl(VARDO_ENCODER_DEMO, VARDO_ENCODER_DEMO, press.c_str(), "keys", nullptr);
            else
                ::execl(VARDO_ENCODER_DEMO, VARDO_ENCODER_DEMO, state.c_str(), press.c_str(), "keys", nullptr);
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        return pid;
    }

    std::string root;
};

// Output lost to a full disk is a failure, said on stderr; a reader that
// went away (keys | head -1) is not.
TEST_F(CliProcess, AnUnwritableStdoutFailsTheRun)
{
    for (const auto& args : std::vector<std::vector<std::string>>{{"status"}, {"list", "--json"}, {"--help"}}) {
        const auto r = run(args, "/dev/null", VARDO_ENCODER_DEMO, "/dev/full");
        EXPECT_EQ(r.code, 1) << args[0];
        EXPECT_EQ(r.err, "vardo-encoder-demo: cannot write to standard output: No space left on device\n");
    }
}

// --sim-state: each run sees the encoders the last one left, upgraded
// firmware, the loader an upgrade stopped in, and a second encoder included.
TEST_F(CliProcess, StateFileKeepsTheEncodersFromRunToRun)
{
    const std::string path = root + "/encoders.state";
    const std::string state = "--sim-state=" + path;
    const std::string image = std::string(VARDO_FIRMWARE_SAMPLES_DIR) + "/encoder_firmware_01.06A.txt";
    EXPECT_EQ(run({state, "--sim-encoders=2", "set", "brightness", "2"}).code, 0);
    EXPECT_EQ(run({state, "--device", "1-2", "set", "layout", "3"}).code, 0);
    auto r = run({state, "--sim-virtual-clock", "--device", "1-2", "upgrade", "--yes", image});
    EXPECT_EQ(r.code, 0) << r.err;
    r = run({state, "list"});
    EXPECT_EQ(r.out, "PORT  KIND     MODEL               FIRMWARE  SERIAL        PATH\n"
                     "1-1   encoder  Vardo 710i Encoder  01.05A    VE710-000001  sim:1-1:1.1\n"
                     "1-2   encoder  Vardo 710i Encoder  01.06A    VE710-000002  sim:1-2:1.1\n");
    r = run({state, "--device", "1-2", "--json", "status"});
    EXPECT_NE(r.out.find("\"layout\":3,"), std::string::npos) << r.out;
    EXPECT_NE(run({state, "--device", "1-1", "--json", "status"}).out.find("\"brightness\":2,"), std::string::npos);

    // An encoder that waits in its loader with nothing in flash stays there.
    std::string text = readFile(path);
    for (const char* from : {"mode=application", "flash=image 01.05A"}) {
        const auto at = text.find(from);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, std::string(from).size(), from[0] == 'm' ? "mode=loader" : "flash=erased");
    }
    std::ofstream(path, std::ios::trunc) << text;
    r = run({state, "list"});
    EXPECT_NE(r.out.find("1-1   loader"), std::string::npos) << r.out;
    EXPECT_EQ(run({state, "--device", "1-1", "status"}).code, 3);

    std::ofstream(path, std::ios::trunc) << "vardo-sim-state=1\nencoders=1\n[encoder 1]\nmode=asleep\n";
    r = run({state, "list"});
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.err, "vardo-encoder-demo: the state file " + path
                         + " is not usable: line 4: mode must be application, loader or unplugged\n");
    EXPECT_EQ(readFile(path), "vardo-sim-state=1\nencoders=1\n[encoder 1]\nmode=asleep\n");
}

// Ctrl+C, a closed terminal and a reader that goes away (`keys | head -1`)
// each end `keys` with success, self-test mode ended, instead of killing it.
TEST_F(CliProcess, KeysEndsCleanlyOnSigintSighupAndABrokenPipe)
{
    for (const int ending : {SIGINT, SIGHUP, SIGPIPE}) {
        int pipeFds[2];
        const pid_t pid = startKeys("--sim-press=2,3,4,5,6", "", pipeFds);
        ASSERT_GT(pid, 0);
        // The demo's hand presses the keys 300 ms apart once self-test mode starts.
        std::string out;
        pollfd p{pipeFds[0], POLLIN, 0};
        while (out.find('\n') == std::string::npos && ::poll(&p, 1, 20000) > 0) {
            char buf[64];
            const auto n = ::read(pipeFds[0], buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        EXPECT_EQ(out.substr(0, 2), "2\n");
        if (ending == SIGPIPE)
            ::close(pipeFds[0]);   // the next key's line meets no reader
        else
            ::kill(pid, ending);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        if (ending != SIGPIPE)
            ::close(pipeFds[0]);
        ASSERT_TRUE(WIFEXITED(status)) << ending << " ended it by signal "
                                       << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(WEXITSTATUS(status), 0) << ending;
    }
}

// A hang-up in the loader with the terminal gone: writes fail, nothing kills
// the run, the upgrade ends with the settings written back, and exit 129.
TEST_F(CliProcess, AHangUpWithTheTerminalGoneStillCompletesTheUpgrade)
{
    const std::string state = "--sim-state=" + root + "/encoders.state";
    const std::string image = std::string(VARDO_FIRMWARE_SAMPLES_DIR) + "/encoder_firmware_01.06A.txt";
    EXPECT_EQ(run({state, "set", "brightness", "2"}).code, 0);
    const auto r = run({state, "--sim-virtual-clock", "--sim-signal=HUP@ENTER_BSL", "upgrade", "--yes", image},
                       "/dev/null", VARDO_ENCODER_DEMO, "gone");
    EXPECT_EQ(r.code, 128 + SIGHUP);
    const auto status = run({state, "--json", "status"});
    EXPECT_NE(status.out.find("\"firmware\":\"01.06A\""), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("\"brightness\":2,"), std::string::npos) << status.out;
}

#ifdef VARDO_UTILITY_DEMO
// The window program answers --help and --version with no display to open,
// before it builds any window (the manual page is made from them).
TEST_F(CliProcess, TheWindowProgramAnswersHelpAndVersionWithoutADisplay)
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        ::unsetenv(name);
    auto r = run({"--help"}, "/dev/null", VARDO_UTILITY_DEMO);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Usage: vardo-encoder-utility-demo [QT-OPTION]...\n", 0), 0u) << r.out;
    r = run({"--sim-encoders=2", "--version"}, "/dev/null", VARDO_UTILITY_DEMO);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("vardo-encoder-utility-demo ", 0), 0u) << r.out;
}
#endif

// While `keys` holds the encoder, a `save` of the same encoders (one state
// file) is refused at once with exit 9, the holder's PID and command line.
TEST_F(CliProcess, ASecondProcessIsRefusedWithTheHoldersPidAndCommand)
{
    const std::string state = "--sim-state=" + root + "/encoders.state";
    int pipeFds[2];
    const pid_t pid = startKeys("--sim-press=2", state, pipeFds);
    ASSERT_GT(pid, 0);
    // Its first key line: the test runs, the lock is held.
    char line[8] = {};
    pollfd p{pipeFds[0], POLLIN, 0};
    ASSERT_GT(::poll(&p, 1, 20000), 0);
    EXPECT_EQ(::read(pipeFds[0], line, sizeof line), 2);
    const auto r = run({state, "save"});
    const auto json = run({state, "--json", "save"});
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(pipeFds[0]);
    EXPECT_EQ(r.code, 9);
    EXPECT_EQ(r.err, "The encoder at port 1-1 is in use by another process (PID " + std::to_string(pid) + ": "
                         + VARDO_ENCODER_DEMO + " " + state + " --sim-press=2 keys). Try again when it has finished.\n");
    // An option the command does not take is not what the operator must hear first.
    EXPECT_EQ(json.code, 9) << json.err;
    EXPECT_EQ(json.err, r.err);
}

// While `--all upgrade` works on the encoders, a `save` on one of its ports
// is refused at once with exit 9, naming the upgrade (not told to recover an
// encoder that waits in its loader). The upgrade is then killed: its encoders
// are the test's own.
TEST_F(CliProcess, ASaveBesideAnAllUpgradeIsRefusedWithTheHolder)
{
    const std::string state = "--sim-state=" + root + "/encoders.state";
    const std::string image = std::string(VARDO_FIRMWARE_SAMPLES_DIR) + "/encoder_firmware_01.06A.txt";
    ASSERT_EQ(run({state, "--sim-encoders=2", "list"}).code, 0);
    int errFds[2];
    ASSERT_EQ(::pipe(errFds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::dup2(errFds[1], 2);
        ::close(errFds[0]);
        ::execl(VARDO_ENCODER_DEMO, VARDO_ENCODER_DEMO, state.c_str(), "--all", "upgrade", "--yes", image.c_str(),
                nullptr);
        ::_exit(127);
    }
    ::close(errFds[1]);
    ASSERT_GT(pid, 0);
    // Its first backup named: every port is locked by then, and the upgrades run.
    std::string said;
    char buffer[256];
    pollfd p{errFds[0], POLLIN, 0};
    while (said.find("settings saved to") == std::string::npos && ::poll(&p, 1, 20000) > 0) {
        const ssize_t n = ::read(errFds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        said.append(buffer, static_cast<std::size_t>(n));
    }
    const auto r = run({state, "--device", "1-2", "save"});
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(errFds[0]);
    EXPECT_TRUE(WIFSIGNALED(status)) << "still upgrading: " << said;
    EXPECT_EQ(r.code, 9) << r.err;
    EXPECT_EQ(r.err, "The encoder at port 1-2 is in use by another process (PID " + std::to_string(pid) + ": "
                         + VARDO_ENCODER_DEMO + " " + state + " --all upgrade --yes " + image
                         + "). Try again when it has finished.\n");
}

// One case of transcripts/cases.txt: a command line, what it starts from, and
// what the program printed and returned. The file is written by
// scripts/cli-transcripts from a build made before a change, so that the
// change is held to the same outputs.
struct Transcript {
    std::string before;                                     // comment lines above it
    std::string name;
    std::string args;                                       // words; "..." keeps spaces
    std::optional<std::string> in;                          // standard input
    std::vector<std::pair<std::string, std::string>> files; // written under $HOME first
    bool sorted = false;   // lines of several threads: compared in sorted order
    int code = 0;
    std::string out;
    std::string err;
};

std::vector<Transcript> readTranscripts(const std::string& path, std::string& trailer)
{
    std::vector<Transcript> cases;
    std::string pending;
    std::string* block = nullptr;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        const auto word = line.substr(0, line.find(' '));
        const auto rest = line.size() > word.size() ? line.substr(word.size() + 1) : std::string();
        if (block && !line.empty() && line[0] == '|') {
            *block += line.substr(1) + '\n';
            continue;
        }
        if (block && line == "%no-newline" && !block->empty()) {
            block->pop_back();
            continue;
        }
        block = nullptr;
        if (line.empty() || line[0] == '#' || (cases.empty() && word != "case")) {
            pending += line + '\n';
            continue;
        }
        if (word == "case") {
            cases.push_back({});
            cases.back().before = std::exchange(pending, {});
            cases.back().name = rest;
            continue;
        }
        Transcript& c = cases.back();
        if (word == "args") {
            c.args = rest;
        } else if (word == "stdin") {
            block = &c.in.emplace();
        } else if (word == "file") {
            block = &c.files.emplace_back(rest, std::string()).second;
        } else if (word == "sorted") {
            c.sorted = true;
        } else if (word == "exit") {
            c.code = std::stoi(rest);
        } else if (word == "stdout") {
            block = &c.out;
        } else if (word == "stderr") {
            block = &c.err;
        } else {
            ADD_FAILURE() << path << ": " << line;
        }
    }
    trailer = pending;
    return cases;
}

void writeBlock(std::ostream& out, const char* head, const std::string& text)
{
    out << head << '\n';
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        out << '|' << line << '\n';
    if (!text.empty() && text.back() != '\n')
        out << "%no-newline\n";
}

void writeTranscripts(const std::string& path, const std::vector<Transcript>& cases, const std::string& trailer)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const auto& c : cases) {
        out << c.before << "case " << c.name << "\nargs " << c.args << '\n';
        if (c.in)
            writeBlock(out, "stdin", *c.in);
        for (const auto& [file, text] : c.files)
            writeBlock(out, ("file " + file).c_str(), text);
        if (c.sorted)
            out << "sorted\n";
        out << "exit " << c.code << '\n';
        if (!c.out.empty())
            writeBlock(out, "stdout", c.out);
        if (!c.err.empty())
            writeBlock(out, "stderr", c.err);
    }
    out << trailer;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (auto at = text.find(from); !from.empty() && at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::vector<std::string> splitWords(const std::string& line)
{
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (char ch : line + ' ') {
        if (ch == '"') {
            quoted = !quoted;
            any = true;
        } else if (ch == ' ' && !quoted) {
            if (any)
                words.push_back(std::exchange(word, {}));
            any = false;
        } else {
            word += ch;
            any = true;
        }
    }
    return words;
}

// What differs from run to run: the folder, the time in backup names and the
// time the programming took.
std::string normalised(const std::string& text, const std::string& home, bool sorted)
{
    std::string t = replaceAll(replaceAll(text, home, "$HOME"), VARDO_FIRMWARE_SAMPLES_DIR, "$SAMPLES");
    t = std::regex_replace(t, std::regex(R"(USBUtilityCfg-([A-Za-z0-9._-]+-)?\d{8}-\d{6}(-\d+)?\.ini)"),
                           "USBUtilityCfg-$1TIME.ini");
    t = std::regex_replace(t, std::regex(R"(programming time is \d+s)"), "programming time is Ns");
    if (!sorted)
        return t;
    std::vector<std::string> lines;
    std::istringstream in(t);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    std::string joined;
    for (const auto& l : lines)
        joined += l + '\n';
    return joined;
}

// Every case of transcripts/cases.txt gives the outputs and exit status it
// holds. With VARDO_TRANSCRIPTS_FROM=PROGRAM the file is written from PROGRAM's instead.
TEST_F(CliProcess, TranscriptsOfWholeCommandLines)
{
    const char* from = std::getenv("VARDO_TRANSCRIPTS_FROM");
    std::string trailer;
    auto cases = readTranscripts(VARDO_CLI_TRANSCRIPTS, trailer);
    ASSERT_FALSE(cases.empty());
    for (auto& c : cases) {
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root + "/data");
        for (const auto& [file, text] : c.files) {
            std::filesystem::create_directories(std::filesystem::path(root + "/" + file).parent_path());
            std::ofstream(root + "/" + file, std::ios::binary) << text;
        }
        if (c.in)
            std::ofstream(root + "/.stdin", std::ios::binary) << *c.in;
        std::vector<std::string> args;
        for (const auto& w : splitWords(c.args))
            args.push_back(replaceAll(replaceAll(w, "$HOME", root), "$SAMPLES", VARDO_FIRMWARE_SAMPLES_DIR));
        const auto r = run(args, c.in ? root + "/.stdin" : "/dev/null", from ? from : VARDO_ENCODER_DEMO);
        if (from) {
            c.code = r.code;
            c.out = normalised(r.out, root, c.sorted);
            c.err = normalised(r.err, root, c.sorted);
            continue;
        }
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_EQ(normalised(r.out, root, c.sorted), normalised(c.out, root, c.sorted)) << c.name;
        EXPECT_EQ(normalised(r.err, root, c.sorted), normalised(c.err, root, c.sorted)) << c.name;
    }
    if (from)
        writeTranscripts(VARDO_CLI_TRANSCRIPTS, cases, trailer);
}

} // namespace
