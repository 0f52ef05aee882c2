#include "firmware/upgrade_job.h"

#include "codetable/usage_codes.h"
#include "firmware/firmware_checks.h"
#include "device/outcome.h"
#include "firmware/firmware_resources.h"
#include "link/hid_list.h"
#include "link/hid_transport.h"
#include "link/messages.h"
#include "loader/ti_txt.h"
#include "platform/clock.h"
#include "platform/hid_bus.h"
#include "platform/text8.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <limits>
#include <mutex>

namespace vardo::firmware {

namespace {

using Password = std::array<std::uint8_t, loader::protocol::kPasswordSize>;

// The phases' names, the outcome each failure gives on a bench's summary, and
// the stretch of the progress bar each phase takes (from, to).
struct PhaseRow {
    Phase phase;
    const char* name;
    const char* outcome;
    int from;
    int to;
};
constexpr PhaseRow kPhases[] = {
    {Phase::CheckInputs, "check the image", "upgrade failed", 0, 0},
    {Phase::OpenEncoder, "open the encoder", "no encoder", 0, 0},
    {Phase::ReadSettings, "read the settings", "status not read", 0, 0},
    {Phase::Backup, "back the settings up", "backup not written", 0, 0},
    {Phase::EnterLoader, "enter the loader", "no loader", 0, 0},
    {Phase::FindLoader, "find the loader", "no loader", 0, 0},
    {Phase::Unlock, "unlock the loader", "upgrade failed", 0, 10},
    {Phase::StartRamLoader, "start the RAM loader", "upgrade failed", 20, 50},
    {Phase::Erase, "erase", "upgrade failed", 60, 70},
    {Phase::Write, "write", "upgrade failed", 70, 80},
    {Phase::Verify, "verify", "upgrade failed", 80, 90},
    {Phase::Reset, "restart the encoder", "upgrade failed", 90, 100},
    {Phase::FindEncoder, "find the encoder after the restart", "not back", 100, 100},
    {Phase::WriteBack, "write the settings back", "write-back failed", 100, 100},
    {Phase::Done, "done", "upgraded", 100, 100},
};
// The RAM loader's stretch in sixths: sent, started, three waits, then the end.
constexpr int kRamLoaderSteps = 6;

static_assert([] {
    for (std::size_t i = 0; i < std::size(kPhases); ++i)
        if (kPhases[i].phase != static_cast<Phase>(i))
            return false;
    return std::size(kPhases) == static_cast<std::size_t>(Phase::Done) + 1;
}(), "kPhases lists every phase in its order");

const PhaseRow& rowOf(Phase phase)
{
    return kPhases[static_cast<std::size_t>(phase)];
}

// The password block of a TI-TXT text: its first 32 bytes (zeros for a malformed one).
Password passwordOf(const std::string& text)
{
    Password p{};
    loader::TiTxtBlockReader blocks(loader::TiTxtReader::fromText(text));
    std::uint32_t address = 0;
    (void)blocks.read(p.data(), p.size(), &address);
    if (blocks.failed())
        p.fill(0);
    return p;
}

// The erased device's password: an all-0xFF vector table.
Password defaultPassword()
{
    Password p;
    p.fill(0xFF);
    return p;
}

// The RAM loader's version as the firmware resources name it: "00.06.05.34".
std::string ramLoaderVersion(const loader::Version& v)
{
    char text[16];
    std::snprintf(text, sizeof text, "00.%02X.%02X.%02X", v.interpreter, v.api, v.peripheral);
    return text;
}

// The path of the first HID interface of vendorId/productId on port (only
// interface interfaceNumber when it is 0 or more); "" when there is none.
std::string findOnPort(std::uint16_t vendorId, std::uint16_t productId, int interfaceNumber,
                       const std::string& port)
{
    for (auto& d : link::listHid(vendorId, productId, interfaceNumber))
        if (d.port == port)
            return std::move(d.path);
    return {};
}

std::unique_ptr<device::Encoder> openEncoderOnPort(const std::string& port)
{
    const std::lock_guard busLock(platform::hidBusMutex());
    const std::string path = findOnPort(static_cast<std::uint16_t>(link::kEncoderVendorId),
                                        static_cast<std::uint16_t>(link::kEncoderProductId),
                                        link::kEncoderInterface, port);
    return path.empty() ? nullptr : device::Encoder::open(path);
}

// The port of the loader that address names; "" when none is listed.
std::string portOf(const loader::Address& address)
{
    if (!address.port.empty())
        return address.port;
    auto loaders = link::listHid(address.vendorId, address.productId);
    return address.index < loaders.size() ? std::move(loaders[address.index].port) : std::string();
}

} // namespace

std::string resourceText(std::string_view name)
{
    return platform::narrowLow8(Firmware::GetString(name));
}

std::uint32_t countLoaders()
{
    return static_cast<std::uint32_t>(link::listHid(loader::protocol::kVendorId, loader::protocol::kProductId).size());
}

const char* phaseName(Phase phase) { return rowOf(phase).name; }

int progressOf(Phase phase, int num, int den)
{
    const PhaseRow& row = rowOf(phase);
    return row.from + (row.to - row.from) * num / den;
}

Readiness checkReadiness(bool portNamed, const std::string& ramLoaderFile, const std::string& passwordFile)
{
    Readiness r;
    r.texts = findLoaderTexts(ramLoaderFile, passwordFile);
    r.textProblem = r.texts.ramLoaderProblem.empty() ? r.texts.passwordProblem : r.texts.ramLoaderProblem;
    r.attached = attachedDevices();
    if (!portNamed)
        r.refusal = unnamedUpgradeRefusal(r.attached);
    return r;
}

const char* outcomeName(const Outcome& outcome)
{
    return outcome.cancelled ? "interrupted" : rowOf(outcome.phase).outcome;
}

std::string describe(const Outcome& o)
{
    if (o.ok())
        return "upgraded";
    if (o.cancelled)
        return "stopped before the loader was entered" + (o.port.empty() ? std::string() : " on " + o.port)
               + ": nothing was changed";
    std::string text = std::string(phaseName(o.phase)) + " failed";
    if (!o.port.empty())
        text += " on " + o.port;
    if (o.device != device::Result::Ok)
        text += ": " + device::reasonText(o.device);
    if (o.loader != loader::Result::Ok)
        text += std::string(": ") + loader::resultText(o.loader);
    if (!o.settingsProblem.empty())
        text += ": they could not be written back (" + o.settingsProblem + ")";
    if (o.deviceGone) {
        text += ": the encoder left the USB bus";
    } else if (o.phase == Phase::Verify && o.loader == loader::Result::Ok) {
        char at[48];
        std::snprintf(at, sizeof at, ": the memory differs from the image at 0x%04X", o.address);
        text += at;
    }
    return text;
}

Policy windowPolicy(const std::string& port)
{
    Policy p;
    p.settingsRequired = false;
    p.backupRequired = false;
    p.port = port;
    return p;
}

Policy commandPolicy(const std::string& port)
{
    Policy p;
    p.port = port;
    return p;
}

Policy benchPolicy(const std::string& port)
{
    Policy p = commandPolicy(port);
    // A write-back that gives up too early leaves an upgraded encoder with factory settings.
    p.returnGraceMs = kLoaderWaitMs;
    return p;
}

std::string writeBackProblem(const link::DeviceStatus& s)
{
    using codetable::Setting;
    const std::pair<Setting, int> values[] = {{Setting::Options, s.optionsFitted},
                                              {Setting::Buzzer, s.buzzer},
                                              {Setting::BuzzerPeriod, s.buzzerPeriod},
                                              {Setting::KeypadLayout, s.keypadType},
                                              {Setting::LedBrightness, s.ledBrightness}};
    for (const auto& [setting, value] : values)
        if (std::string why = codetable::settingProblem(setting, value); !why.empty())
            return why;
    if (std::string why = codetable::codeTableProblem(s.codeTable); !why.empty())
        return "in the code table " + why;
    return {};
}

bool writeBackSettings(device::Encoder* encoder, const RestoreValues& v, const WriteBackReport& report,
                       device::Result* result)
{
    device::WriteBackStep failed = device::WriteBackStep::Options;
    const device::Result r = encoder ? encoder->writeBack(v, failed) : device::Result::NoDevice;
    if (result)
        *result = r;
    if (r == device::Result::Ok)
        return true;
    const char* text = "Unable to set WRITE_DEFAULTs..";
    switch (failed) {
    case device::WriteBackStep::Options:
        text = "Unable to set option..";
        break;
    case device::WriteBackStep::Buzzer:
        text = "Unable to set buzzer..";
        break;
    case device::WriteBackStep::BuzzerPeriod:
        text = "Unable to set buzzer period..";
        break;
    case device::WriteBackStep::KeypadType:
        text = messages::kKeypadTypeFailed;
        break;
    case device::WriteBackStep::CodeTable:
        text = messages::kLoadTableFailed;
        break;
    case device::WriteBackStep::LedBrightness:
        text = "Unable to set LED Brightness..";
        break;
    case device::WriteBackStep::SaveDefaults:
        break;
    }
    if (report)
        report(kWriteBackCaption, text);
    return false;
}

// ---- the job ------------------------------------------------------------------

UpgradeJob::UpgradeJob(Policy policy, Hooks hooks)
    : policy_(std::move(policy)), hooks_(std::move(hooks))
{
    loaderAddress_ = loader::Address{};
    loaderAddress_->port = policy_.port;
}

void UpgradeJob::report(Phase phase, int percent, std::string text)
{
    percent_ = percent;
    if (hooks_.event)
        hooks_.event(Event{phase, percent, std::move(text), Notice::None, "", mustNotInterrupt(phase)});
}

void UpgradeJob::notify(Phase phase, Notice notice, const char* caption, std::string text)
{
    if (hooks_.event)
        hooks_.event(Event{phase, percent_, std::move(text), notice, caption, mustNotInterrupt(phase)});
}

Outcome UpgradeJob::outcome(Phase phase, device::Result device, loader::Result loader) const
{
    Outcome o;
    o.phase = phase;
    o.device = device;
    o.loader = loader;
    o.port = policy_.port;
    o.backupPath = backupPath_;
    o.flashChanged = flashChanged_;
    return o;
}

bool UpgradeJob::awaitDevice(const Wait& wait, const std::function<bool(bool last)>& found,
                             const std::function<void(unsigned slice)>& slice)
{
    const unsigned slices = wait.sliceMs && slice ? (wait.boundMs + wait.sliceMs - 1) / wait.sliceMs : 0;
    unsigned sliced = 0;
    const auto runSlices = [&](std::uint64_t elapsed) {
        for (; sliced < slices && std::uint64_t{sliced} * wait.sliceMs <= elapsed; ++sliced)
            slice(sliced);
    };
    const std::uint64_t start = platform::clock().nowMs();
    bool there = false;
    for (;;) {
        std::uint64_t elapsed = platform::clock().nowMs() - start;
        runSlices(elapsed);
        const bool last = elapsed >= wait.boundMs;
        if (last || elapsed >= wait.blindMs) {
            there = found(last);
            if (there || last)
                break;
            // A look takes time of its own (a slice may have come due meanwhile).
            elapsed = platform::clock().nowMs() - start;
            runSlices(elapsed);
        }
        std::uint64_t next = elapsed < wait.blindMs ? wait.blindMs : elapsed + kPollMs;
        if (sliced < slices)
            next = std::min<std::uint64_t>(next, std::uint64_t{sliced} * wait.sliceMs);
        next = std::min<std::uint64_t>(next, wait.boundMs);
        if (next > elapsed)
            platform::sleepMs(static_cast<std::uint32_t>(next - elapsed));
    }
    runSlices(std::numeric_limits<std::uint64_t>::max());
    return there;
}

bool UpgradeJob::loaderThere() const
{
    if (policy_.port.empty())
        return countLoaders() > 0;
    return !findOnPort(loader::protocol::kVendorId, loader::protocol::kProductId, -1, policy_.port).empty();
}

std::shared_ptr<device::Encoder> UpgradeJob::findEncoder() const
{
    const std::lock_guard busLock(platform::hidBusMutex());
    if (hooks_.findEncoder)
        return hooks_.findEncoder();
    if (policy_.port.empty())
        return device::Encoder::openFirst();
    return openEncoderOnPort(policy_.port);
}

bool UpgradeJob::massEraseAllowed()
{
    if (!texts_) {
        LoaderTextsFound found = findLoaderTexts();
        // Unusable texts stop the job at its checks, which say why.
        if (!found.ramLoaderProblem.empty() || !found.passwordProblem.empty())
            return true;
        texts_ = std::move(found.texts);
    }
    if (massEraseAsked_ || texts_->password)
        return true;
    massEraseAsked_ = hooks_.allowMassErase && hooks_.allowMassErase();
    return massEraseAsked_;
}

const loader::Image* UpgradeJob::checkInputs(const FirmwareImage& image, loader::Image& parsed)
{
    if (!texts_) {
        const LoaderTextsFound found = findLoaderTexts();
        for (const std::string& problem : {found.ramLoaderProblem, found.passwordProblem}) {
            if (!problem.empty()) {
                report(Phase::CheckInputs, progressOf(Phase::CheckInputs), problem + "\r\n");
                return nullptr;
            }
        }
        texts_ = found.texts;
    }
    if (!checkRamLoaderText(texts_->ramLoader).empty()) {
        report(Phase::CheckInputs, progressOf(Phase::CheckInputs), "No usable RAM loader text\r\n");
        return nullptr;
    }
    if (image.checked)
        return &image.blocks;
    const ImageCheckResult check = checkFirmwareText(image.text, &parsed);
    if (check.result != ImageCheck::Ok) {
        report(Phase::CheckInputs, progressOf(Phase::CheckInputs),
               "Not a valid TI-TXT firmware file (" + check.reason + ")\r\n");
        return nullptr;
    }
    return &parsed;
}

Outcome UpgradeJob::run(const FirmwareImage& image, std::shared_ptr<device::Encoder> encoder)
{
    loader::Image parsed;
    const loader::Image* blocks = checkInputs(image, parsed);
    if (!blocks)
        return outcome(Phase::CheckInputs);
    if (!massEraseAllowed()) {
        Outcome o = outcome(Phase::CheckInputs);
        o.cancelled = true;
        return o;
    }
    // Only a loader this run sent the encoder into is awaited; one already waiting is taken as it is.
    bool entered = false;
    if (!prepared_) {
        if (!encoder) {
            const std::lock_guard busLock(platform::hidBusMutex());
            encoder = policy_.port.empty() ? device::Encoder::openFirst() : openEncoderOnPort(policy_.port);
        }
        // Without an encoder one already waiting in its loader is upgraded from there.
        if (!encoder && !loaderThere())
            return outcome(Phase::OpenEncoder, device::Result::NoDevice);
        // A restarting encoder may never answer ENTER_BSL: its loader's appearance decides.
        if (encoder) {
            if (Outcome o = prepare(std::move(encoder));
                !o.ok() && (o.phase != Phase::EnterLoader || o.cancelled))
                return o;
            entered = true;
        }
    }
    if (entered && !awaitDevice({kLoaderWaitMs, 0, 0}, [this](bool) { return loaderThere(); }))
        return outcome(Phase::FindLoader, device::Result::Ok, loader::Result::NotFound);
    if (Outcome o = program(image.path, *blocks); !o.ok())
        return o;
    return restore();
}

Outcome UpgradeJob::prepare(std::shared_ptr<device::Encoder> encoder, const Keep& keep)
{
    if (!massEraseAllowed()) {
        Outcome o = outcome(Phase::CheckInputs);
        o.cancelled = true;
        return o;
    }
    const Keep& keepSettings = keep ? keep : hooks_.keep;
    Phase stoppedAt = Phase::Done;
    std::string settingsProblem;
    const auto settingsRead = [&](device::Result statusRead) {
        if (statusRead != device::Result::Ok) {
            settings_.known = false;
            notify(Phase::ReadSettings, Notice::StatusNotRead, messages::kCaption, messages::kStatusFailed);
            if (policy_.settingsRequired)
                stoppedAt = Phase::ReadSettings;
        } else if (std::string why = writeBackProblem(settings_); !why.empty()) {
            // Neither written back nor kept in a backup that could not be applied.
            settings_.known = false;
            if (!hooks_.mayLoseSettings || !hooks_.mayLoseSettings(why)) {
                settingsProblem = std::move(why);
                stoppedAt = Phase::ReadSettings;
            }
        } else {
            settings_.known = true;
            const link::DeviceStatus read = settings_;
            const bool backedUp = keepSettings && keepSettings(read, backupPath_);
            if (!backedUp && policy_.backupRequired)
                stoppedAt = Phase::Backup;
        }
        // The last moment at which stopping leaves the encoder as it was.
        if (stoppedAt == Phase::Done && hooks_.mayEnterLoader && !hooks_.mayEnterLoader())
            stoppedAt = Phase::EnterLoader;
        return stoppedAt == Phase::Done;
    };
    device::UpgradePreparation p;
    if (encoder)
        p = encoder->prepareUpgrade(settings_, settingsRead);
    else
        p.stopped = !settingsRead(device::Result::NoDevice);
    if (stoppedAt != Phase::Done) {
        Outcome o = outcome(stoppedAt, stoppedAt == Phase::ReadSettings ? p.statusRead : device::Result::Ok);
        o.cancelled = stoppedAt == Phase::EnterLoader;
        o.settingsProblem = std::move(settingsProblem);
        return o;
    }
    // It has left for its loader (or may yet): the handle is of no more use.
    encoder.reset();
    prepared_ = true;
    return p.loaderEntered == device::Result::Ok ? outcome(Phase::Done)
                                                 : outcome(Phase::EnterLoader, p.loaderEntered);
}

Outcome UpgradeJob::program(const std::string& path, const loader::Image& blocks)
{
    failedPhase_ = Phase::Done;
    failedResult_ = loader::Result::Ok;
    bool massErase = false;
    if (!startLoader(massErase)) {
        connection_.close();
        report(failedPhase_, progressOf(Phase::StartRamLoader, 1, 1),
               "Unsuccessful in starting the BSL. Restarting. \r\n");
        if (!startLoader(massErase)) {
            connection_.close();
            return outcome(failedPhase_, device::Result::Ok, failedResult_);
        }
    }
    // Neither the erase nor the write is answered in a way that proves the
    // bytes took: the verification decides, and their results say why it failed.
    loader::Result erased = loader::Result::Ok;
    flashChanged_ = true;
    if (!massErase) {
        report(Phase::Erase, progressOf(Phase::Erase), "Erasing memory segments \r\n");
        erased = eraseSegments(connection_, blocks);
    }
    report(Phase::Write, progressOf(Phase::Write), "Sending " + path + "\r\n");
    const loader::Result written = connection_.sendImage(blocks);
    report(Phase::Write, progressOf(Phase::Write, 1, 2), "Firmware Sent\r\n");
    report(Phase::Verify, progressOf(Phase::Verify), "Verifying memory\r\n");
    const Verification verified = verifyImage(connection_, blocks);
    if (!verified.matches) {
        // A loader that has left the bus says nothing about the flash.
        const bool gone = !loaderThere();
        report(Phase::Verify, progressOf(Phase::Verify, 1, 2),
               gone ? kMsgUnpluggedDuringUpgrade : "Memory verification error\r\n");
        connection_.close();
        if (gone) {
            Outcome o = outcome(Phase::Verify, device::Result::Ok, loader::Result::NotFound);
            o.deviceGone = true;
            return o;
        }
        Outcome o = written != loader::Result::Ok  ? outcome(Phase::Write, device::Result::Ok, written)
                    : erased != loader::Result::Ok ? outcome(Phase::Erase, device::Result::Ok, erased)
                                                   : outcome(Phase::Verify, device::Result::Ok, verified.result);
        o.address = verified.address;
        return o;
    }
    report(Phase::Verify, progressOf(Phase::Verify, 1, 2), "Memory successfully verified\r\n");
    stopTick_ = platform::tickCountMs();
    report(Phase::Verify, progressOf(Phase::Verify, 1, 1),
           "Total programming time is " + std::to_string((stopTick_ - startTick_) / 1000) + "s \r\n");
    // A restart that was not sent shows when the encoder does not come back;
    // restore() then names it.
    (void)reset();
    report(Phase::Reset, progressOf(Phase::Reset, 1, 1), "Done!");
    connection_.close();
    return outcome(Phase::Done);
}

bool UpgradeJob::connect()
{
    const std::lock_guard busLock(platform::hidBusMutex());
    return loaderAddress_ && connection_.open(*loaderAddress_) == loader::Result::Ok;
}

bool UpgradeJob::startLoader(bool& massErase)
{
    if (!connect()) {
        report(Phase::Unlock, progressOf(Phase::Unlock), "USB device was unplugged!\r\n");
        failedPhase_ = Phase::Unlock;
        failedResult_ = loader::Result::NotFound;
        return false;
    }
    // Without the encoder's password the erased-device one goes first: on a
    // programmed encoder it is refused, and the mass erase path follows.
    const Password erased = defaultPassword();
    const Password password = texts_ && texts_->password ? passwordOf(*texts_->password) : erased;
    report(Phase::Unlock, progressOf(Phase::Unlock, 1, 2), "");
    if (!unlock(password, erased, massErase))
        return false;

    const std::string version = resourceText("RAM_BSL_VERSION");
    // The chip leaves the bus and comes back running the RAM loader, on the
    // same port with the same identifiers: the flash loader may stay listed a
    // moment after LOAD PC, so the one to open is the one listed after it went.
    if (std::string at = portOf(*loaderAddress_); !at.empty())
        loaderPort_ = std::move(at);
    const std::string port = devicePort();
    const auto listedOn = [&port] {
        return port.empty() ? std::string()
                            : findOnPort(loader::protocol::kVendorId, loader::protocol::kProductId, -1, port);
    };
    const std::string before = listedOn();
    startRamLoader(version);
    bool gone = false;
    const bool back = awaitDevice(
        {kRamLoaderStartMs, port.empty() ? kRamLoaderStartMs : 0, kRamLoaderStartSliceMs},
        [&](bool last) {
            // Gone once not listed, or listed under another node.
            const std::string now = listedOn();
            gone = gone || now != before;
            if (!last && !(gone && !now.empty()))
                return false;
            startTick_ = platform::tickCountMs();
            return connect();
        },
        [this](unsigned slice) {
            report(Phase::StartRamLoader, progressOf(Phase::StartRamLoader, 3 + static_cast<int>(slice), kRamLoaderSteps), "");
        });
    if (!back) {
        report(Phase::StartRamLoader, progressOf(Phase::StartRamLoader, 1, 1), "USB device was unplugged!\r\n");
        failedPhase_ = Phase::StartRamLoader;
        failedResult_ = ramLoaderSent_ != loader::Result::Ok ? ramLoaderSent_ : loader::Result::NotFound;
        return false;
    }
    return checkRamLoader(massErase ? erased : password, version);
}

bool UpgradeJob::unlock(const Password& password, const Password& erased, bool& massErase)
{
    if (connection_.unlock(password) != loader::Result::Ok) {
        massErase = true;
        flashChanged_ = true;
        report(Phase::Unlock, progressOf(Phase::Unlock, 1, 2), "Mass erase occured!\r\n");
        platform::sleepMs(kMassEraseWaitMs);
        if (const loader::Result r = connection_.unlock(erased); r != loader::Result::Ok) {
            report(Phase::Unlock, progressOf(Phase::Unlock, 1, 1), "Password FAILED!\r\n");
            failedPhase_ = Phase::Unlock;
            failedResult_ = r;
            return false;
        }
    }
    report(Phase::Unlock, progressOf(Phase::Unlock, 1, 1), "Password Sent Successfully\r\n");
    return true;
}

void UpgradeJob::startRamLoader(const std::string& version)
{
    report(Phase::StartRamLoader, progressOf(Phase::StartRamLoader), "Sending RAM BSL v" + version + "\r\n");
    // Neither is answered: the version read after the restart decides, and
    // these results say why it failed.
    ramLoaderSent_ = connection_.sendImage(texts_ ? texts_->ramLoader : std::string());
    if (const loader::Result started = connection_.loadPc(kRamLoaderEntry);
        ramLoaderSent_ == loader::Result::Ok)
        ramLoaderSent_ = started;
    report(Phase::StartRamLoader, progressOf(Phase::StartRamLoader, 2, kRamLoaderSteps),
           "Done RAM BSL v" + version + "\r\n");
    connection_.close();
}

bool UpgradeJob::checkRamLoader(const Password& password, const std::string& version)
{
    const loader::Result unlocked = connection_.unlock(password);
    loader::Version found;
    const loader::Result read = connection_.version(found);
    if (read != loader::Result::Ok || ramLoaderVersion(found) != version) {
        report(Phase::StartRamLoader, progressOf(Phase::StartRamLoader, 1, 1), "Failed to read data from RAM BSL\r\n");
        failedPhase_ = Phase::StartRamLoader;
        failedResult_ = read != loader::Result::Ok ? read : ramLoaderSent_;
        return false;
    }
    if (unlocked != loader::Result::Ok) {
        flashChanged_ = true;  // a refused password mass-erases
        report(Phase::Unlock, progressOf(Phase::StartRamLoader, 1, 1), "Password FAILED after sending RAM BSL!\r\n");
        failedPhase_ = Phase::Unlock;
        failedResult_ = unlocked;
        return false;
    }
    // The image's own erase follows; a reset vector left standing then fails the verify.
    flashChanged_ = true;
    if (connection_.eraseSegment(kResetVectorAddress) != loader::Result::Ok)
        report(Phase::StartRamLoader, progressOf(Phase::StartRamLoader, 1, 1), "Failed to erase reset vector\r\n");
    return true;
}

bool UpgradeJob::reset()
{
    report(Phase::Reset, progressOf(Phase::Reset), "Resetting Device...\r\nStarting application\r\n");
    const std::string text = resourceText("Forced_BOR.Text");
    resetSent_ = connection_.sendImage(text);
    // The chip may restart on the first: the second's result tells nothing.
    if (resetSent_ == loader::Result::Ok
        && resourceText("RAM_BSL_VERSION").find(kRamLoaderVersionWithDoubleReset) != std::string::npos)
        (void)connection_.sendImage(text);
    return resetSent_ == loader::Result::Ok;
}

loader::Result UpgradeJob::returnToApplication(const std::string& passwordText)
{
    const Password password = passwordOf(passwordText);
    const std::uint32_t entry =
        password[kResetVectorInPassword] | password[kResetVectorInPassword + 1] << 8;
    // An erased or unreadable vector table names no application to start.
    if (entry == 0xFFFF || entry == 0)
        return loader::Result::BadAddress;
    if (!connect())
        return loader::Result::NotFound;
    loader::Result r = connection_.unlock(password);
    if (r == loader::Result::PasswordRefused)
        flashChanged_ = true;
    if (r == loader::Result::Ok)
        r = connection_.loadPc(entry);
    connection_.close();
    if (r == loader::Result::Ok)
        (void)awaitDevice({kLoaderWaitMs, 0, 0}, [this](bool) { return findEncoder() != nullptr; });
    return r;
}

Outcome UpgradeJob::restore()
{
    if (hooks_.settingsToWriteBack)
        hooks_.settingsToWriteBack(settings_);
    // On its port the encoder is taken once it is listed and, when settings
    // are to be written back, answers GET_STATUS (retried while it cannot be
    // reached); the last look only opens it, as after the fixed wait.
    const std::string port = devicePort();
    std::shared_ptr<device::Encoder> encoder;
    const bool back = awaitDevice(
        {kRestartWaitMs + policy_.returnGraceMs, port.empty() ? kRestartWaitMs : 0, 0}, [&](bool last) {
            if (!last && !port.empty()
                && findOnPort(static_cast<std::uint16_t>(link::kEncoderVendorId),
                              static_cast<std::uint16_t>(link::kEncoderProductId), link::kEncoderInterface, port)
                       .empty())
                return false;
            encoder = findEncoder();
            if (!encoder || last || port.empty() || !settings_.known)
                return encoder != nullptr;
            link::DeviceStatus status;
            if (encoder->readStatus(status) != device::Result::NoDevice)
                return true;
            encoder.reset();
            return false;
        });
    if (!back) {
        notify(Phase::FindEncoder, Notice::EncoderNotBack, messages::kCaption, messages::kNotConnected);
        // A restart that was never sent is why.
        return outcome(Phase::FindEncoder, device::Result::NoDevice, resetSent_);
    }
    if (!settings_.known) {
        notify(Phase::WriteBack, Notice::SettingsUnknown, kWriteBackCaption, kMsgSettingsUnknown);
        return outcome(Phase::WriteBack);
    }
    device::Result r = device::Result::Ok;
    const auto reportStep = [this](const char* caption, const std::string& text) {
        notify(Phase::WriteBack, Notice::WriteBackFailed, caption, text);
    };
    if (!writeBackSettings(encoder.get(), settings_, reportStep, &r))
        return outcome(Phase::WriteBack, r);
    return outcome(Phase::Done);
}

} // namespace vardo::firmware
