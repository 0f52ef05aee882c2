// The encoder object: typed results, the factory reset's wait, the applied
// configuration's order and stop, and the slot that windows share.
#include "device/encoder.h"
#include "device/outcome.h"
#include "device/port_lock.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/scripted_device.h"
#include "sim/virtual_encoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace vardo;
using device::Result;

namespace {

class DeviceEncoder : public ::testing::Test {
protected:
    // The bus is emptied after each test; the encoder member attaches itself before SetUp.
    void TearDown() override { sim::Bus::instance().reset(); }
    std::vector<std::uint8_t> codes() const
    {
        std::vector<std::uint8_t> out;
        for (const auto& c : encoder.receivedCommands())
            out.push_back(c.code);
        return out;
    }
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    sim::VirtualEncoder encoder;
};

TEST_F(DeviceEncoder, ResultsKeepTheLinksReasonAndTheirTexts)
{
    auto e = device::Encoder::openFirst();
    ASSERT_NE(e, nullptr);
    link::DeviceStatus status;
    EXPECT_EQ(e->readStatus(status), Result::Ok);
    encoder.injectFault({sim::EncoderFault::Refuse});
    EXPECT_EQ(e->set(device::Setting::LedBrightness, 3), Result::Refused);
    encoder.injectFault({sim::EncoderFault::Silence});
    EXPECT_EQ(e->saveDefaults(), Result::Timeout);
    e->close();
    EXPECT_EQ(e->readStatus(status), Result::NoDevice);
    EXPECT_EQ(device::reasonText(Result::Timeout), "no reply from the encoder within 5000 ms");
    EXPECT_EQ(device::reasonText(Result::NoDevice), "the encoder is not connected or stopped answering");
    EXPECT_STREQ(device::settingFailureText(device::Setting::BuzzerPeriod), "Unable to set Buzzer Period..");
    EXPECT_EQ(device::resultOf(-99), Result::Refused);
}

TEST_F(DeviceEncoder, FactoryResetWaitsForTheRestartOnTheClock)
{
    auto e = device::Encoder::openFirst();
    ASSERT_NE(e, nullptr);
    const auto before = clock.nowMs();
    e->factoryReset();
    EXPECT_GE(clock.nowMs() - before, device::kFactoryResetWaitMs);
    EXPECT_EQ(codes(), std::vector<std::uint8_t>{link::FACTORY_RESET});
}

TEST_F(DeviceEncoder, ConfigurationIsSentInOrderAndStopsAtTheFirstFailure)
{
    auto e = device::Encoder::openFirst();
    ASSERT_NE(e, nullptr);
    device::Configuration c;
    c.keypadType = 2;
    c.sendTable = true;
    c.ledBrightness = 4;
    c.buzzerPeriod = 3;
    device::ConfigurationStep failed{};
    EXPECT_EQ(e->applyConfiguration(c, failed), Result::Ok);
    EXPECT_EQ(codes(), (std::vector<std::uint8_t>{link::SET_KEYPAD_TYPE, link::LOAD_CODE_TABLE,
                                                  link::SET_LED_BRIGHTNESS, link::SET_LED_COLOUR,
                                                  link::SET_BUZZER, link::SET_BUZZER_PERIOD}));
    encoder.clearReceivedCommands();
    encoder.injectFault({sim::EncoderFault::Refuse, false, link::SET_LED_COLOUR});
    EXPECT_EQ(e->applyConfiguration(c, failed), Result::Refused);
    EXPECT_EQ(failed, device::ConfigurationStep::LedColour);
    EXPECT_EQ(codes().size(), 4u);
}

TEST_F(DeviceEncoder, UpgradePreparationAsksBeforeEnteringTheLoader)
{
    auto e = device::Encoder::openFirst();
    ASSERT_NE(e, nullptr);
    link::DeviceStatus settings;
    std::vector<Result> asked;
    auto stop = e->prepareUpgrade(settings, [&](Result r) {
        asked.push_back(r);
        return false;
    });
    EXPECT_TRUE(stop.stopped);
    EXPECT_EQ(codes(), std::vector<std::uint8_t>{link::GET_STATUS});
    encoder.clearReceivedCommands();
    encoder.injectFault({sim::EncoderFault::Refuse, false, link::GET_STATUS});
    const auto go = e->prepareUpgrade(settings, [&](Result r) {
        asked.push_back(r);
        return true;
    });
    EXPECT_EQ(asked, (std::vector<Result>{Result::Ok, Result::Refused}));
    EXPECT_FALSE(go.stopped);
    EXPECT_EQ(codes(), (std::vector<std::uint8_t>{link::GET_STATUS, link::ENTER_BSL}));
}

TEST_F(DeviceEncoder, SlotRescanClosesTheOldEncoderForThoseWhoStillHoldIt)
{
    device::EncoderSlot slot;
    EXPECT_EQ(slot.with([](device::Encoder& e) { return e.saveDefaults(); }), Result::NoDevice);
    ASSERT_TRUE(slot.rescan());
    const std::shared_ptr<device::Encoder> held = slot.get();
    const int exits = sim::Bus::instance().exitCount();
    ASSERT_TRUE(slot.rescan());
    EXPECT_EQ(sim::Bus::instance().exitCount(), exits + 1);
    EXPECT_NE(slot.get(), held);
    link::DeviceStatus status;
    EXPECT_EQ(held->readStatus(status), Result::NoDevice);
    EXPECT_EQ(slot.with([&](device::Encoder& e) { return e.readStatus(status); }), Result::Ok);
    encoder.unplug();
    EXPECT_FALSE(slot.rescan());
    slot.close();
    EXPECT_EQ(sim::Bus::instance().exitCount(), exits + 2);   // nothing was open to close
}

// Keeps its reply back until the test lets it go, so that an exchange can be
// caught waiting for it.
class HeldReply final : public sim::HidEndpoint {
public:
    int write(const std::uint8_t*, std::size_t length) override
    {
        pending = true;
        return static_cast<int>(length);
    }
    int read(std::uint8_t* data, std::size_t) override
    {
        if (!pending)
            return 0;
        pending = false;
        std::unique_lock lock(mutex);
        waiting = true;
        changed.notify_all();
        // Bounded only so that a regression fails rather than hangs the suite.
        releasedInTime = changed.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
        const auto r = sim::makeReplyReport(link::WRITE_DEFAULTS);
        std::memcpy(data, r.data(), r.size());
        return static_cast<int>(r.size());
    }
    std::optional<std::uint64_t> nextReportDue() override { return std::nullopt; }
    void awaitWaiting()
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return waiting; });
    }
    void release()
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    std::atomic<bool> pending{false};
    std::mutex mutex;
    std::condition_variable changed;
    bool waiting = false;
    bool released = false;
    bool releasedInTime = false;
};

TEST_F(DeviceEncoder, TwoThreadsOnOneEncoderNeverTakeEachOthersReplies)
{
    auto e = device::Encoder::openFirst();
    ASSERT_NE(e, nullptr);
    std::atomic<int> wrong{0};
    std::thread reader([&] {
        for (int i = 0; i < 150; ++i) {
            link::DeviceStatus status;
            if (e->readStatus(status) != Result::Ok || status.firmwareVersion.size() != 6)
                ++wrong;
        }
    });
    std::thread setter([&] {
        for (int i = 0; i < 150; ++i)
            if (e->set(device::Setting::LedColour, 1) != Result::Ok)
                ++wrong;
    });
    reader.join();
    setter.join();
    EXPECT_EQ(wrong, 0);
}

TEST_F(DeviceEncoder, ExchangesOnTwoEncodersDoNotWaitForEachOther)
{
    auto held = std::make_shared<HeldReply>();
    sim::Bus::instance().attach(sim::ScriptedDevice::encoderInterface("sim:9-2:1.1"), held);
    auto waiting = device::Encoder::open("sim:9-2:1.1");
    auto other = device::Encoder::open(encoder.commandPath());
    ASSERT_NE(waiting, nullptr);
    ASSERT_NE(other, nullptr);
    Result waitingResult = Result::NoDevice;
    std::thread first([&] { waitingResult = waiting->saveDefaults(); });
    held->awaitWaiting();
    // The first encoder's exchange is still waiting for its reply.
    link::DeviceStatus status;
    EXPECT_EQ(other->readStatus(status), Result::Ok);
    EXPECT_EQ(other->set(device::Setting::Buzzer, 1), Result::Ok);
    held->release();
    first.join();
    EXPECT_TRUE(held->releasedInTime);
    EXPECT_EQ(waitingResult, Result::Ok);
}

} // namespace

// ---- the port lock ------------------------------------------------------------

namespace {

class PortLockTest : public DeviceEncoder {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vardo-locks-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder = pattern;
        device::setPortLockFolderOverride(folder);
    }
    void TearDown() override
    {
        device::setPortLockFolderOverride(std::nullopt);
        std::filesystem::remove_all(folder);
        DeviceEncoder::TearDown();
    }
    static std::string read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string folder;
};

// flock conflicts between two opens even in one process, so two PortLocks
// stand for two programs (test_cli_process has a real second process).
TEST_F(PortLockTest, OneHolderPerPortAndTheRefusedAreToldWho)
{
    const mode_t umaskBefore = ::umask(077);
    auto first = std::make_optional<device::PortLock>("1-1.3", "/dev/hidraw0");
    ::umask(umaskBefore);
    ASSERT_EQ(first->state(), device::PortLockState::Held);
    const std::string file = folder + "/vardo-encoder-1-1.3.lock";
    EXPECT_EQ(first->file(), file);
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0666)) << "for every user";
    EXPECT_EQ(read(file).rfind(std::to_string(::getpid()) + " ", 0), 0u) << read(file);

    // The port decides, not the path (it changes when the encoder restarts).
    const device::PortLock second("1-1.3", "/dev/hidraw7");
    EXPECT_EQ(second.state(), device::PortLockState::Busy);
    EXPECT_FALSE(second.mayGoOn());
    EXPECT_EQ(second.problem(), "The encoder at port 1-1.3 is in use by another operation of this program. Try "
                                "again when it has finished.");
    EXPECT_EQ(device::PortLock("1-2", "/dev/hidraw0").state(), device::PortLockState::Held);
    const device::PortLock byPath("", "/dev/hidraw3");
    EXPECT_EQ(byPath.file(), folder + "/vardo-encoder-_dev_hidraw3.lock");
    EXPECT_EQ(device::PortLock("", "/dev/hidraw3").problem(),
              "The encoder at /dev/hidraw3 is in use by another operation of this program. Try again when it has "
              "finished.");
    first.reset();
    EXPECT_EQ(read(file), "") << "no record of a holder that has gone";
    EXPECT_EQ(device::PortLock("1-1.3", "/dev/hidraw7").state(), device::PortLockState::Held);

    // Nothing to lock: no encoder, or encoders that are this process's own.
    EXPECT_EQ(device::PortLock::forEncoder(nullptr).state(), device::PortLockState::Free);
    device::setPortLockFolderOverride("");
    EXPECT_EQ(device::PortLock("1-1.3", "").state(), device::PortLockState::Free);
}

// A lock file that is no plain file is refused, never opened (a FIFO would
// block) nor followed.
TEST_F(PortLockTest, OddLockFilesAreRefusedWithTheirName)
{
    const std::string file = folder + "/vardo-encoder-1-1.lock";
    const std::string target = folder + "/target";
    const std::pair<std::function<bool()>, std::string> odd[] = {
        {[&] { return std::filesystem::create_directory(file); }, "is a folder, not a lock file"},
        {[&] { std::ofstream(target) << "kept";
               return ::symlink(target.c_str(), file.c_str()) == 0; },
         "is a symbolic link, which a lock never follows"},
        {[&] { return ::mkfifo(file.c_str(), 0666) == 0; }, "is a pipe, socket or device, not a lock file"},
        // The lock's record would overwrite the other file, and its release empty it.
        {[&] { return ::link(target.c_str(), file.c_str()) == 0; },
         "has other names (hard links): it is another file, not a lock file"},
    };
    for (const auto& [make, what] : odd) {
        std::filesystem::remove_all(file);
        std::ofstream(target) << "kept";
        ASSERT_TRUE(make()) << what;
        const device::PortLock lock("1-1", "");
        EXPECT_EQ(lock.state(), device::PortLockState::OddFile);
        EXPECT_EQ(lock.problem(), "Cannot lock the encoder at port 1-1: " + file + " " + what
                                      + ". Remove it and try again.");
        EXPECT_EQ(read(target), "kept") << what;
    }
}

// A lock that cannot be made locks nothing: the operation may not go on.
TEST_F(PortLockTest, ALockFileThatCannotBeMadeIsRefusedWithWhy)
{
    const std::string notAFolder = folder + "/state.locks";
    std::ofstream(notAFolder) << "";
    const std::string readOnly = folder + "/read-only";
    std::filesystem::create_directory(readOnly);
    std::filesystem::permissions(readOnly, std::filesystem::perms(0555));
    const std::pair<std::string, std::string> cases[] = {
        {notAFolder, notAFolder + " is not a folder"},
        {folder + "/missing", folder + "/missing: No such file or directory"},
        {readOnly, ::geteuid() == 0 ? "" : "this user may not write in " + readOnly},
    };
    for (const auto& [lockFolder, why] : cases) {
        if (why.empty())
            continue;  // root writes anywhere
        device::setPortLockFolderOverride(lockFolder);
        const device::PortLock lock("1-1", "");
        EXPECT_FALSE(lock.mayGoOn()) << lockFolder;
        EXPECT_EQ(lock.problem(), "Cannot lock the encoder at port 1-1: " + lockFolder
                                      + "/vardo-encoder-1-1.lock cannot be made (" + why + ").");
    }
}

} // namespace
