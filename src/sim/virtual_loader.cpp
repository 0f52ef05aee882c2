#include "sim/virtual_loader.h"

#include "loader/loader_protocol.h"
#include "platform/clock.h"
#include "sim/bus.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <mutex>

namespace vardo::sim {

namespace P = vardo::loader::protocol;

namespace {

std::uint64_t nowUs() { return platform::clock().nowMs() * 1000; }

constexpr std::uint64_t kAnnounceWritesMs = 1000;

bool inRange(std::uint32_t address, std::size_t count, std::uint32_t first, std::uint32_t last)
{
    return count > 0 && address >= first && address <= last && count - 1 <= last - address;
}

// What the chip does once a reply has gone out (or at once, without a reply).
// StartApplication: LOAD PC to the application's entry; it starts as after a brown-out.
enum class Then { Nothing, StartRamLoader, StartReset, BrownOut, StartApplication };

struct Report {
    std::array<std::uint8_t, P::kReportSize> bytes{};
    std::uint64_t dueUs = 0;
    Then then = Then::Nothing;
};

} // namespace

struct VirtualLoader::Core : std::enable_shared_from_this<VirtualLoader::Core> {
    mutable std::mutex mutex;
    std::recursive_mutex transitions;  // one bus change at a time
    VirtualLoaderConfig cfg;
    LoaderFaults faults;
    LoaderMode mode = LoaderMode::Off;
    bool unlocked = false;
    Version4 ramVersion{};
    std::array<std::uint8_t, 0x10000> memory{};
    std::deque<Report> replies;
    std::uint64_t attachGeneration = 0;
    std::uint64_t busyUntilUs = 0;
    std::uint64_t wireUs = 0;
    int packets = 0;
    int packetsSinceFaults = 0;
    int crcRequests = 0;
    int massErases = 0;
    int brownOuts = 0;
    std::vector<LoaderCommandRecord> log;
    std::function<void(const std::string&)> restartHandler;
    std::function<void()> changeHandler;
    std::vector<int> scheduled;
    // Flash changes (a whole erase apart), and whether the last ones are still unannounced.
    std::uint64_t flashErases = 0;
    std::uint64_t flashWrites = 0;
    bool flashUnannounced = false;
    std::uint64_t announcedMs = 0;

    // Tells the change handler (no lock held).
    void announce();

    class Endpoint;

    void eraseFlashLocked()
    {
        std::fill(memory.begin() + kFlashStart, memory.begin() + kFlashEnd + 1, 0xFF);
        ++flashErases;
    }

    void attachAs(LoaderMode newMode);
    void leaveBus(LoaderMode newMode);
    void after(Then then);
    void scheduleIn(std::uint32_t ms, std::function<void(Core&)> action);

    int write(std::uint64_t generation, const std::uint8_t* data, std::size_t length);
    int read(std::uint64_t generation, std::uint8_t* data, std::size_t length);
    std::optional<std::uint64_t> nextDue(std::uint64_t generation);

    // Works out one command: its replies, the chip's busy time, and what follows.
    void execute(const std::uint8_t* report, std::size_t length, std::vector<Report>& out,
                 std::uint64_t& costUs, Then& then);

    // One handler per command, called with the mutex held once the packet's
    // framing, the command and the lock state have been checked.
    struct Command;
    void rxPassword(Command& c);
    void rxDataBlock(Command& c);   // RX data block and its fast form
    void eraseSegment(Command& c);
    void massErase(Command& c);
    void crcCheck(Command& c);
    void loadPc(Command& c);
    void txDataBlock(Command& c);
    void txVersion(Command& c);
    void massEraseLocked(std::uint64_t& costUs);
};

class VirtualLoader::Core::Endpoint final : public HidEndpoint {
public:
    Endpoint(std::weak_ptr<Core> core, std::uint64_t generation)
        : core_(std::move(core)), generation_(generation) {}
    int write(const std::uint8_t* data, std::size_t length) override
    {
        auto c = core_.lock();
        return c ? c->write(generation_, data, length) : -1;
    }
    int read(std::uint8_t* data, std::size_t length) override
    {
        auto c = core_.lock();
        return c ? c->read(generation_, data, length) : -1;
    }
    std::optional<std::uint64_t> nextReportDue() override
    {
        auto c = core_.lock();
        return c ? c->nextDue(generation_) : std::nullopt;
    }

private:
    std::weak_ptr<Core> core_;
    std::uint64_t generation_;
};

void VirtualLoader::Core::attachAs(LoaderMode newMode)
{
    std::lock_guard transition(transitions);
    DeviceInfo info;
    std::shared_ptr<HidEndpoint> endpoint;
    {
        std::lock_guard lock(mutex);
        mode = newMode;
        unlocked = false;
        replies.clear();
        packets = 0;
        busyUntilUs = nowUs();
        const std::uint64_t generation = ++attachGeneration;
        info.path = cfg.path;
        info.vendorId = P::kVendorId;
        info.productId = P::kProductId;
        info.interfaceNumber = 0;
        info.manufacturer = L"Vardo Interface";
        info.product = cfg.product;
        endpoint = std::make_shared<Endpoint>(weak_from_this(), generation);
    }
    Bus::instance().attach(info, std::move(endpoint));
    announce();
}

void VirtualLoader::Core::announce()
{
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex);
        flashUnannounced = false;
        announcedMs = platform::clock().nowMs();
        handler = changeHandler;
    }
    if (handler)
        handler();
}

void VirtualLoader::Core::leaveBus(LoaderMode newMode)
{
    std::lock_guard transition(transitions);
    {
        std::lock_guard lock(mutex);
        mode = newMode;
        unlocked = false;
        replies.clear();
        ++attachGeneration;
    }
    Bus::instance().detach(cfg.path);
    announce();
}

void VirtualLoader::Core::scheduleIn(std::uint32_t ms, std::function<void(Core&)> action)
{
    std::weak_ptr<Core> weak = weak_from_this();
    const int id = Bus::instance().schedule(platform::clock().nowMs() + ms, [weak, action] {
        if (auto c = weak.lock())
            action(*c);
    });
    std::lock_guard lock(mutex);
    scheduled.push_back(id);
}

// The chip restarts: it leaves the bus and comes back as whatever now runs.
void VirtualLoader::Core::after(Then then)
{
    if (then == Then::Nothing)
        return;
    std::uint32_t delayMs = 0;
    {
        std::lock_guard lock(mutex);
        delayMs = then == Then::BrownOut || then == Then::StartApplication ? cfg.timing.applicationStartMs
                                                                           : cfg.timing.ramLoaderStartMs;
        if (then == Then::BrownOut)
            ++brownOuts;
    }
    leaveBus(LoaderMode::Restarting);
    scheduleIn(delayMs, [then](Core& c) {
        if (then == Then::StartRamLoader) {
            c.attachAs(LoaderMode::RamLoader);
            return;
        }
        if (then == Then::StartReset) {
            c.attachAs(LoaderMode::RomLoader);
            return;
        }
        std::function<void(const std::string&)> handler;
        std::string version;
        bool application = false;
        {
            std::lock_guard lock(c.mutex);
            const std::uint16_t reset = c.memory[kResetVector] | c.memory[kResetVector + 1] << 8;
            application = reset != 0xFFFF;
            version = firmwareVersionIn(c.memory.data()).value_or("??????");
            if (application && c.faults.restartsAs) {
                application = false;
                c.mode = *c.faults.restartsAs;
            }
            if (application) {
                c.mode = LoaderMode::Application;
                handler = c.restartHandler;
            }
        }
        if (!application && c.mode != LoaderMode::Off)
            c.attachAs(LoaderMode::RomLoader);
        else if (handler)
            handler(version);
    });
}

int VirtualLoader::Core::write(std::uint64_t generation, const std::uint8_t* data, std::size_t length)
{
    std::uint64_t endRxUs = 0;
    Then then = Then::Nothing;
    bool unplug = false;
    bool changed = false;
    {
        std::lock_guard lock(mutex);
        if (generation != attachGeneration)
            return -1;
        if (faults.refuseWritesAfterPackets >= 0 && packetsSinceFaults >= faults.refuseWritesAfterPackets)
            return -1;
        if (faults.unplugAfterPackets >= 0 && packetsSinceFaults >= faults.unplugAfterPackets) {
            unplug = true;
        } else {
            ++packets;
            ++packetsSinceFaults;
            const std::uint64_t start = std::max(nowUs(), busyUntilUs);
            endRxUs = start + cfg.timing.reportUs;
            std::vector<Report> out;
            std::uint64_t costUs = 0;
            const std::uint64_t erases = flashErases;
            const std::uint64_t writes = flashWrites;
            execute(data, length, out, costUs, then);
            // A mass erase is told at once; a run of segment erases and
            // writes at most every kAnnounceWritesMs and at the first other
            // command after it, so that an image of a thousand packets is not
            // told a thousand times.
            if (flashErases != erases
                || (flashWrites != writes ? platform::clock().nowMs() >= announcedMs + kAnnounceWritesMs
                                          : flashUnannounced))
                changed = true;
            else if (flashWrites != writes)
                flashUnannounced = true;
            busyUntilUs = endRxUs + costUs;
            for (auto& r : out) {
                r.dueUs = busyUntilUs + cfg.timing.reportUs;
                busyUntilUs = r.dueUs;
            }
            if (!out.empty()) {
                out.back().then = then;  // the chip acts once its answer is out
                then = Then::Nothing;
            }
            wireUs += busyUntilUs - start;
            for (auto& r : out)
                replies.push_back(r);
        }
    }
    if (unplug) {
        leaveBus(LoaderMode::Off);
        return -1;
    }
    Bus::instance().notifyReport();
    if (changed)
        announce();
    after(then);
    // The host's write returns once the report is on the wire.
    auto& clock = platform::clock();
    const std::uint64_t endMs = endRxUs / 1000;
    const std::uint64_t now = clock.nowMs();
    if (endMs > now)
        clock.sleepMs(static_cast<std::uint32_t>(endMs - now));
    return static_cast<int>(length);
}

int VirtualLoader::Core::read(std::uint64_t generation, std::uint8_t* data, std::size_t length)
{
    Then then = Then::Nothing;
    int n = 0;
    {
        std::lock_guard lock(mutex);
        if (generation != attachGeneration)
            return -1;
        if (replies.empty() || replies.front().dueUs / 1000 > platform::clock().nowMs())
            return 0;
        const Report r = replies.front();
        replies.pop_front();
        n = static_cast<int>(std::min(length, r.bytes.size()));
        std::memcpy(data, r.bytes.data(), static_cast<std::size_t>(n));
        then = r.then;
    }
    after(then);
    return n;
}

std::optional<std::uint64_t> VirtualLoader::Core::nextDue(std::uint64_t generation)
{
    std::lock_guard lock(mutex);
    if (generation != attachGeneration || replies.empty())
        return std::nullopt;
    return replies.front().dueUs / 1000;
}

// ---- commands ----------------------------------------------------------------

// One command packet being worked out: its fields, what it answers and costs,
// and what the chip does afterwards.
struct VirtualLoader::Core::Command {
    std::size_t n = 0;                   // the packet's core length (command byte on)
    const std::uint8_t* core = nullptr;  // command byte, then address or data
    bool addressed = false;
    std::uint32_t address = 0;
    const std::uint8_t* params = nullptr;
    std::size_t count = 0;               // bytes after the address
    LoaderCommandRecord& rec;
    std::vector<Report>& out;
    std::uint64_t& costUs;
    Then& then;

    void message(std::uint8_t m)
    {
        Report r;
        r.bytes[0] = P::kReportId;
        r.bytes[1] = 2;
        r.bytes[2] = P::kMessage;
        r.bytes[3] = m;
        out.push_back(r);
        rec.status = m;
    }
    void data(const std::uint8_t* bytes, std::size_t size)
    {
        Report r;
        r.bytes[0] = P::kReportId;
        r.bytes[1] = static_cast<std::uint8_t>(1 + size);
        r.bytes[2] = P::kData;
        std::memcpy(r.bytes.data() + 3, bytes, size);
        out.push_back(r);
    }
    // A command of fixed length answers a packet of any other length as too long.
    bool needs(std::size_t size)
    {
        if (n == size)
            return true;
        message(P::kMsgPacketTooLong);
        return false;
    }
};

namespace {

struct CommandHandler {
    std::uint8_t command;
    bool romKnows;   // the loader in the chip's flash knows only three commands
    void (VirtualLoader::Core::*handle)(VirtualLoader::Core::Command&);
};

} // namespace

void VirtualLoader::Core::massEraseLocked(std::uint64_t& costUs)
{
    eraseFlashLocked();
    ++massErases;
    costUs += cfg.timing.massEraseUs;
}

void VirtualLoader::Core::rxPassword(Command& c)
{
    if (!c.needs(1 + P::kPasswordSize))
        return;
    c.rec.length = P::kPasswordSize;
    const bool right = !faults.refusePasswords
        && std::memcmp(c.core + 1, memory.data() + kVectorTable, P::kPasswordSize) == 0;
    unlocked = right;
    if (!right)
        massEraseLocked(c.costUs);
    c.message(right ? P::kMsgOk : P::kMsgPasswordError);
}

void VirtualLoader::Core::rxDataBlock(Command& c)
{
    std::uint8_t m = P::kMsgOk;
    if (!c.addressed || c.count == 0) {
        m = P::kMsgPacketTooLong;
    } else if (inRange(c.address, c.count, kFlashStart, kFlashEnd)) {
        if ((c.address | c.count) & 1) {
            m = P::kMsgByteWriteForbidden;  // flash takes whole words
        } else {
            for (std::size_t i = 0; i < c.count; ++i) {
                if (faults.stuckCell && *faults.stuckCell == c.address + i)
                    continue;
                memory[c.address + i] &= c.params[i];  // programming only clears bits
            }
            ++flashWrites;
            c.costUs += c.count / 2 * cfg.timing.flashWordUs;
        }
    } else if (inRange(c.address, c.count, kRamStart, kRamEnd)) {
        std::memcpy(memory.data() + c.address, c.params, c.count);
    } else if (c.address == kPowerControl && c.count == 2) {
        if ((c.params[0] & 0x04) && c.params[1] == 0xA5)
            c.then = Then::BrownOut;
    } else {
        m = P::kMsgFlashWriteCheckFailed;  // no memory there: nothing took
    }
    if (c.rec.command == P::kRxDataBlockFast)
        c.rec.status = m;  // a fast write is never answered
    else
        c.message(m);
}

void VirtualLoader::Core::eraseSegment(Command& c)
{
    if (!c.needs(P::kAddressedHeader))
        return;
    if (!inRange(c.address, 1, kFlashStart, kFlashEnd)) {
        c.message(P::kMsgFlashFailBit);
        return;
    }
    if (faults.failErases) {
        c.message(P::kMsgFlashFailBit);
        return;
    }
    const std::uint32_t first = c.address & ~(kSegmentSize - 1);
    std::fill(memory.begin() + first, memory.begin() + first + kSegmentSize, 0xFF);
    ++flashWrites;
    c.costUs += cfg.timing.segmentEraseUs;
    c.message(P::kMsgOk);
}

void VirtualLoader::Core::massErase(Command& c)
{
    if (!c.needs(1))
        return;
    massEraseLocked(c.costUs);
    c.message(P::kMsgOk);
}

void VirtualLoader::Core::crcCheck(Command& c)
{
    if (!c.needs(P::kAddressedHeader + 2))
        return;
    const std::uint32_t len = c.params[0] | c.params[1] << 8;
    c.rec.length = len;
    ++crcRequests;
    const bool fail = faults.failAllCrcRequests || crcRequests == faults.failCrcRequest;
    if (len == 0 || !inRange(c.address, len, 0, 0xFFFF)) {
        c.message(P::kMsgPacketTooLong);
    } else if (fail) {
        c.rec.status = P::kMsgFlashFailBit;  // the request is lost: no answer
    } else {
        const std::uint16_t crc = crc16(memory.data() + c.address, len);
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8)};
        c.costUs += std::uint64_t{len} * cfg.timing.crcByteUs;
        c.data(bytes, 2);
    }
}

void VirtualLoader::Core::loadPc(Command& c)
{
    if (!c.needs(P::kAddressedHeader))
        return;
    const std::uint32_t entry = memory[kResetVector] | memory[kResetVector + 1] << 8;
    if (c.address == kRamLoaderEntry && isRamLoader(memory.data()))
        c.then = Then::StartRamLoader;
    else if (entry != 0xFFFF && c.address == entry)
        c.then = Then::StartApplication;
    else
        c.then = Then::StartReset;
    if (c.then == Then::StartRamLoader)
        std::memcpy(ramVersion.data(), memory.data() + kRamLoaderStart, 4);
}

void VirtualLoader::Core::txDataBlock(Command& c)
{
    if (!c.needs(P::kAddressedHeader + 2))
        return;
    const std::uint32_t len = c.params[0] | c.params[1] << 8;
    c.rec.length = len;
    if (len == 0 || !inRange(c.address, len, 0, 0xFFFF)) {
        c.message(P::kMsgPacketTooLong);
        return;
    }
    for (std::uint32_t done = 0; done < len;) {
        const std::size_t part = std::min<std::size_t>(P::kMaxCoreSize - 1, len - done);
        c.data(memory.data() + c.address + done, part);
        done += static_cast<std::uint32_t>(part);
    }
}

void VirtualLoader::Core::txVersion(Command& c)
{
    if (!c.needs(1))
        return;
    const Version4 v = faults.ramLoaderVersion.value_or(ramVersion);
    c.data(v.data(), v.size());
}

namespace {

constexpr CommandHandler kCommandHandlers[] = {
    {P::kRxPassword, true, &VirtualLoader::Core::rxPassword},
    {P::kRxDataBlockFast, true, &VirtualLoader::Core::rxDataBlock},
    {P::kLoadPc, true, &VirtualLoader::Core::loadPc},
    {P::kRxDataBlock, false, &VirtualLoader::Core::rxDataBlock},
    {P::kEraseSegment, false, &VirtualLoader::Core::eraseSegment},
    {P::kMassErase, false, &VirtualLoader::Core::massErase},
    {P::kCrcCheck, false, &VirtualLoader::Core::crcCheck},
    {P::kTxDataBlock, false, &VirtualLoader::Core::txDataBlock},
    {P::kTxVersion, false, &VirtualLoader::Core::txVersion},
};

} // namespace

// Checks the packet's framing, whether the running loader knows the command
// and whether it is unlocked, then hands the command to its handler.
void VirtualLoader::Core::execute(const std::uint8_t* report, std::size_t length,
                                  std::vector<Report>& out, std::uint64_t& costUs, Then& then)
{
    LoaderCommandRecord rec;
    rec.atMs = platform::clock().nowMs();
    if (length < 3 || report[0] != P::kReportId || report[1] == 0) {
        rec.status = P::kMsgPacketTooLong;
        log.push_back(rec);
        return;  // not a loader packet: dropped
    }
    Command c{.rec = rec, .out = out, .costUs = costUs, .then = then};
    c.n = report[1];
    c.core = report + 2;
    rec.command = c.core[0];
    if (c.n > P::kMaxCoreSize || c.n + 2 > length) {
        c.message(P::kMsgPacketTooLong);
        log.push_back(rec);
        return;
    }
    c.addressed = c.n >= P::kAddressedHeader;
    c.address = c.addressed ? (c.core[1] | c.core[2] << 8 | c.core[3] << 16) : 0;
    c.params = c.core + P::kAddressedHeader;
    c.count = c.addressed ? c.n - P::kAddressedHeader : 0;
    rec.address = c.address;
    rec.length = static_cast<std::uint32_t>(c.count);

    const CommandHandler* handler = nullptr;
    for (const CommandHandler& h : kCommandHandlers)
        if (h.command == rec.command && (h.romKnows || mode == LoaderMode::RamLoader))
            handler = &h;
    if (!handler) {
        c.message(P::kMsgUnknownCommand);
    } else if (!unlocked && rec.command != P::kRxPassword) {
        if (rec.command == P::kRxDataBlockFast)
            rec.status = P::kMsgLocked;  // a fast write is never answered
        else
            c.message(P::kMsgLocked);
    } else {
        (this->*handler->handle)(c);
    }
    log.push_back(rec);
}

// ---- VirtualLoader ----------------------------------------------------------

VirtualLoader::VirtualLoader(VirtualLoaderConfig config) : core_(std::make_shared<Core>())
{
    core_->cfg = std::move(config);
    core_->eraseFlashLocked();
    if (core_->cfg.plugIn)
        plugIn();
}

VirtualLoader::~VirtualLoader()
{
    std::vector<int> ids;
    {
        std::lock_guard lock(core_->mutex);
        ids = core_->scheduled;
    }
    for (int id : ids)
        Bus::instance().cancel(id);
    if (onBus())
        core_->leaveBus(LoaderMode::Off);
}

std::string VirtualLoader::path() const
{
    std::lock_guard lock(core_->mutex);
    return core_->cfg.path;
}

void VirtualLoader::plugIn() { core_->attachAs(LoaderMode::RomLoader); }

void VirtualLoader::enterFromApplication()
{
    std::uint32_t delayMs = 0;
    {
        std::lock_guard lock(core_->mutex);
        delayMs = core_->cfg.timing.loaderEntryMs;
        if (delayMs)
            core_->mode = LoaderMode::Restarting;
    }
    if (delayMs == 0)
        plugIn();
    else
        core_->scheduleIn(delayMs, [](Core& c) {
            bool unplugged = false;
            {
                std::lock_guard lock(c.mutex);
                unplugged = c.mode != LoaderMode::Restarting;
            }
            if (!unplugged)
                c.attachAs(LoaderMode::RomLoader);
        });
}

void VirtualLoader::unplug() { core_->leaveBus(LoaderMode::Off); }

bool VirtualLoader::onBus() const
{
    Bus::instance().runDue();
    std::lock_guard lock(core_->mutex);
    return core_->mode == LoaderMode::RomLoader || core_->mode == LoaderMode::RamLoader;
}

LoaderMode VirtualLoader::mode() const
{
    Bus::instance().runDue();
    std::lock_guard lock(core_->mutex);
    return core_->mode;
}

bool VirtualLoader::unlocked() const
{
    std::lock_guard lock(core_->mutex);
    return core_->unlocked;
}

Version4 VirtualLoader::reportedVersion() const
{
    std::lock_guard lock(core_->mutex);
    if (core_->mode == LoaderMode::RamLoader)
        return core_->faults.ramLoaderVersion.value_or(core_->ramVersion);
    return kRomLoaderVersion;
}

void VirtualLoader::setChangeHandler(std::function<void()> handler)
{
    std::lock_guard lock(core_->mutex);
    core_->changeHandler = std::move(handler);
}

void VirtualLoader::setRestartHandler(std::function<void(const std::string&)> handler)
{
    std::lock_guard lock(core_->mutex);
    core_->restartHandler = std::move(handler);
}

void VirtualLoader::eraseFlash()
{
    std::lock_guard lock(core_->mutex);
    core_->eraseFlashLocked();
}

void VirtualLoader::loadImage(const Image& image)
{
    std::lock_guard lock(core_->mutex);
    for (const auto& s : image) {
        if (s.address >= core_->memory.size())
            continue;
        const std::size_t n = std::min(s.bytes.size(), core_->memory.size() - s.address);
        std::memcpy(core_->memory.data() + s.address, s.bytes.data(), n);
    }
}

std::vector<std::uint8_t> VirtualLoader::read(std::uint32_t address, std::size_t length) const
{
    std::lock_guard lock(core_->mutex);
    if (address >= core_->memory.size())
        return {};
    length = std::min(length, core_->memory.size() - address);
    return {core_->memory.begin() + address, core_->memory.begin() + address + length};
}

std::optional<std::string> VirtualLoader::flashFirmwareVersion() const
{
    std::lock_guard lock(core_->mutex);
    return firmwareVersionIn(core_->memory.data());
}

std::vector<LoaderCommandRecord> VirtualLoader::commands() const
{
    std::lock_guard lock(core_->mutex);
    return core_->log;
}

void VirtualLoader::clearCommands()
{
    std::lock_guard lock(core_->mutex);
    core_->log.clear();
}

int VirtualLoader::packetsReceived() const
{
    std::lock_guard lock(core_->mutex);
    return core_->packets;
}

int VirtualLoader::massErases() const
{
    std::lock_guard lock(core_->mutex);
    return core_->massErases;
}

int VirtualLoader::brownOutResets() const
{
    std::lock_guard lock(core_->mutex);
    return core_->brownOuts;
}

std::uint64_t VirtualLoader::wireTimeUs() const
{
    std::lock_guard lock(core_->mutex);
    return core_->wireUs;
}

void VirtualLoader::resetWireTime()
{
    std::lock_guard lock(core_->mutex);
    core_->wireUs = 0;
}

void VirtualLoader::setFaults(const LoaderFaults& faults)
{
    std::lock_guard lock(core_->mutex);
    core_->faults = faults;
    core_->crcRequests = 0;
    core_->packetsSinceFaults = 0;
}

LoaderFaults VirtualLoader::faults() const
{
    std::lock_guard lock(core_->mutex);
    return core_->faults;
}

void VirtualLoader::setTiming(const LoaderTiming& timing)
{
    std::lock_guard lock(core_->mutex);
    core_->cfg.timing = timing;
}

} // namespace vardo::sim
