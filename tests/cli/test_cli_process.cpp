// vardo-encoder-demo run as a process: exit statuses, what goes to stdout and
// what to stderr, the JSON shape, and SIGINT ending `keys` cleanly.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
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

    // Runs the demo with its output streams in files and stdin at /dev/null.
    ProcessResult run(const std::vector<std::string>& args)
    {
        const std::string outPath = root + "/out", errPath = root + "/err";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
            const int in = ::open("/dev/null", O_RDONLY);
            const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            std::vector<char*> argv{const_cast<char*>(VARDO_ENCODER_DEMO)};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(VARDO_ENCODER_DEMO, argv.data());
            ::_exit(127);
        }
        ProcessResult r;
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            r.code = WEXITSTATUS(status);
        r.out = readFile(outPath);
        r.err = readFile(errPath);
        return r;
    }

    std::string root;
};

TEST_F(CliProcess, StatusJsonOnStdoutAndNothingOnStderr)
{
    const auto r = run({"status", "--json"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_EQ(r.out.substr(r.out.size() - 4), "}]}\n");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
    for (const char* field : {"\"path\":\"sim:1-1:1.1\"", "\"model\":\"Vardo 710i Encoder\"", "\"options\":7",
                              "\"layout\":8", "\"layoutText\":\"16W  Customised Table\"", "\"codeTable\":[{",
                              "{\"key\":16,"})
        EXPECT_NE(r.out.find(field), std::string::npos) << field;
}

TEST_F(CliProcess, EachKindOfFailureHasItsExitStatusAndSpeaksOnStderr)
{
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* err;
    };
    const Case cases[] = {
        {{"set", "brightness", "10"}, 2, "bad value '10' for brightness"},
        {{"--sim-encoders=0", "status"}, 3, "Vardo 710 Encoder not connected..\n"},
        {{"--sim-no-access", "status"}, 4, "70-vardo-encoder.rules"},
        {{"--sim-refuse", "set", "buzzer", "on"}, 5, "Unable to set Buzzer On/Off.."},
        {{"--sim-silent", "--sim-virtual-clock", "table", "show"}, 6, "within 5000 ms"},
        {{"config", "import", "/nonexistent/USBUtilityCfg.ini"}, 7, "Cannot read the file"},
    };
    for (const auto& c : cases) {
        const auto r = run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args.back();
        EXPECT_EQ(r.out, "") << c.args.back();
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

TEST_F(CliProcess, TwoEncodersAndDeviceSelection)
{
    auto r = run({"--sim-encoders=2", "list"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "PORT  KIND     MODEL               FIRMWARE  SERIAL        PATH\n"
                     "1-1   encoder  Vardo 710i Encoder  01.05A    VE710-000001  sim:1-1:1.1\n"
                     "1-2   encoder  Vardo 710i Encoder  01.05A    VE710-000002  sim:1-2:1.1\n");
    r = run({"--sim-encoders=2", "--device", "VE710-000002", "status", "--json"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("{\"path\":\"sim:1-2:1.1\",\"serial\":\"VE710-000002\"", 0), 0u) << r.out;
}

TEST_F(CliProcess, HelpAndVersionGoToStdout)
{
    auto r = run({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("Usage: vardo-encoder-demo ", 0), 0u);
    EXPECT_NE(r.out.find("Exit status:"), std::string::npos);
    EXPECT_EQ(r.err, "");
    r = run({"keys", "--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("Usage: vardo-encoder-demo keys", 0), 0u);
    r = run({});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
}

TEST_F(CliProcess, KeysOnTheVirtualClockEndsWithTheKeyTest)
{
    const auto r = run({"--sim-virtual-clock", "--sim-press=3,1", "keys"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "3\n1\n");
    EXPECT_EQ(r.err, "The encoder ended the key test.\n");
}

TEST_F(CliProcess, UpgradeReportsPlainProgressLinesWhenNotOnATerminal)
{
    const std::string image = std::string(VARDO_FIRMWARE_SAMPLES_DIR) + "/encoder_firmware_01.06A.txt";
    auto r = run({"--sim-virtual-clock", "upgrade", "--yes", image});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("5%\n10% Password Sent Successfully\n", 0), 0u) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 11), "100% Done!\n");
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_EQ(r.err.rfind("Settings saved to " + root + "/data/VardoInterface/USBUtilityCfg-", 0), 0u) << r.err;

    r = run({"--sim-virtual-clock", "upgrade", image});   // no --yes, no terminal to ask on
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
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
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
            ::dup2(pipeFds[1], 1);
            ::close(pipeFds[0]);
            const int devnull = ::open("/dev/null", O_RDWR);
            ::dup2(devnull, 0);
            ::dup2(devnull, 2);
            ::execl(VARDO_ENCODER_DEMO, VARDO_ENCODER_DEMO, "--sim-press=2,3,4,5,6", "keys", nullptr);
            ::_exit(127);
        }
        ASSERT_GT(pid, 0);
        ::close(pipeFds[1]);
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

} // namespace
