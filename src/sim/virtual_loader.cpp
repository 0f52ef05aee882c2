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

bool inRange(std::uint32_t address, std::size_t count, std::uint32_t first, std::uint32_t last)
{
    return count > 0 && address >= first && address <= last && count - 1 <= last - address;
}

// What the chip does once a reply has gone out (or at once, without a reply).
enum class Then { Nothing, StartRamLoader, StartReset, BrownOut };

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
    std::vector<int> scheduled;

    class Endpoint;

    void eraseFlashLocked()
    {
        std::fill(memory.begin() + kFlashStart, memory.begin() + kFlashEnd + 1, 0xFF);
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
        delayMs = then == Then::BrownOut ? cfg.timing.applicationStartMs : cfg.timing.ramLoaderStartMs;
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
            if (application) {
                c.mode = LoaderMode::Application;
                handler = c.restartHandler;
            }
        }
        if (!application)
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
    {
        std::lock_guard lock(mutex);
        if (generation != attachGeneration)
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
            execute(data, length, out, costUs, then);
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

void VirtualLoader::Core::execute(const std::uint8_t* report, std::size_t length,
                                  std::vector<Report>& out, std::uint64_t& costUs, Then& then)
{
    const auto& t = cfg.timing;
    LoaderCommandRecord rec;
    auto message = [&](std::uint8_t m) {
        Report r;
        r.bytes[0] = P::kReportId;
        r.bytes[1] = 2;
        r.bytes[2] = P::kMessage;
        r.bytes[3] = m;
        out.push_back(r);
        rec.status = m;
    };
    auto data = [&](const std::uint8_t* bytes, std::size_t count) {
        Report r;
        r.bytes[0] = P::kReportId;
        r.bytes[1] = static_cast<std::uint8_t>(1 + count);
        r.bytes[2] = P::kData;
        std::memcpy(r.bytes.data() + 3, bytes, count);
        out.push_back(r);
    };

    if (length < 3 || report[0] != P::kReportId || report[1] == 0) {
        rec.status = P::kMsgPacketTooLong;
        log.push_back(rec);
        return;  // not a loader packet: dropped
    }
    const std::size_t n = report[1];
    const std::uint8_t command = report[2];
    rec.command = command;
    const std::uint8_t* core = report + 2;
    if (n > P::kMaxCoreSize || n + 2 > length) {
        message(P::kMsgPacketTooLong);
        log.push_back(rec);
        return;
    }
    const bool addressed = n >= P::kAddressedHeader;
    const std::uint32_t address = addressed ? (core[1] | core[2] << 8 | core[3] << 16) : 0;
    const std::uint8_t* params = core + P::kAddressedHeader;
    const std::size_t count = addressed ? n - P::kAddressedHeader : 0;
    rec.address = address;
    rec.length = static_cast<std::uint32_t>(count);

    // The loader in the chip's flash knows three commands; the RAM loader all.
    const bool romKnows = command == P::kRxPassword || command == P::kRxDataBlockFast
        || command == P::kLoadPc;
    const bool ramKnows = romKnows || command == P::kRxDataBlock || command == P::kEraseSegment
        || command == P::kMassErase || command == P::kCrcCheck || command == P::kTxDataBlock
        || command == P::kTxVersion;
    if (!(mode == LoaderMode::RamLoader ? ramKnows : romKnows)) {
        message(P::kMsgUnknownCommand);
        log.push_back(rec);
        return;
    }
    const bool fast = command == P::kRxDataBlockFast;
    if (!unlocked && command != P::kRxPassword) {
        if (fast)
            rec.status = P::kMsgLocked;  // a fast write is never answered
        else
            message(P::kMsgLocked);
        log.push_back(rec);
        return;
    }
    auto needs = [&](std::size_t size) {
        if (n == size)
            return true;
        message(P::kMsgPacketTooLong);
        return false;
    };
    auto massErase = [&] {
        eraseFlashLocked();
        ++massErases;
        costUs += t.massEraseUs;
    };

    switch (command) {
    case P::kRxPassword: {
        if (!needs(1 + P::kPasswordSize))
            break;
        rec.length = P::kPasswordSize;
        const bool right = !faults.refusePasswords
            && std::memcmp(core + 1, memory.data() + kVectorTable, P::kPasswordSize) == 0;
        unlocked = right;
        if (!right)
            massErase();
        message(right ? P::kMsgOk : P::kMsgPasswordError);
        break;
    }
    case P::kRxDataBlock:
    case P::kRxDataBlockFast: {
        std::uint8_t m = P::kMsgOk;
        if (!addressed || count == 0) {
            m = P::kMsgPacketTooLong;
        } else if (inRange(address, count, kFlashStart, kFlashEnd)) {
            if ((address | count) & 1) {
                m = P::kMsgByteWriteForbidden;  // flash takes whole words
            } else {
                for (std::size_t i = 0; i < count; ++i) {
                    if (faults.stuckCell && *faults.stuckCell == address + i)
                        continue;
                    memory[address + i] &= params[i];  // programming only clears bits
                }
                costUs += count / 2 * t.flashWordUs;
            }
        } else if (inRange(address, count, kRamStart, kRamEnd)) {
            std::memcpy(memory.data() + address, params, count);
        } else if (address == kPowerControl && count == 2) {
            if ((params[0] & 0x04) && params[1] == 0xA5)
                then = Then::BrownOut;
        } else {
            m = P::kMsgFlashWriteCheckFailed;  // no memory there: nothing took
        }
        if (fast)
            rec.status = m;
        else
            message(m);
        break;
    }
    case P::kEraseSegment:
        if (!needs(P::kAddressedHeader))
            break;
        if (!inRange(address, 1, kFlashStart, kFlashEnd)) {
            message(P::kMsgFlashFailBit);
            break;
        }
        {
            const std::uint32_t first = address & ~(kSegmentSize - 1);
            std::fill(memory.begin() + first, memory.begin() + first + kSegmentSize, 0xFF);
        }
        costUs += t.segmentEraseUs;
        message(P::kMsgOk);
        break;
    case P::kMassErase:
        if (!needs(1))
            break;
        massErase();
        message(P::kMsgOk);
        break;
    case P::kCrcCheck: {
        if (!needs(P::kAddressedHeader + 2))
            break;
        const std::uint32_t len = params[0] | params[1] << 8;
        rec.length = len;
        ++crcRequests;
        const bool fail = faults.failAllCrcRequests || crcRequests == faults.failCrcRequest;
        if (len == 0 || !inRange(address, len, 0, 0xFFFF)) {
            message(P::kMsgPacketTooLong);
        } else if (fail) {
            rec.status = P::kMsgFlashFailBit;  // the request is lost: no answer
        } else {
            const std::uint16_t crc = crc16(memory.data() + address, len);
            const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(crc),
                                           static_cast<std::uint8_t>(crc >> 8)};
            costUs += std::uint64_t{len} * t.crcByteUs;
            data(bytes, 2);
        }
        break;
    }
    case P::kLoadPc:
        if (!needs(P::kAddressedHeader))
            break;
        then = address == kRamLoaderEntry && isRamLoader(memory.data()) ? Then::StartRamLoader
                                                                         : Then::StartReset;
        if (then == Then::StartRamLoader)
            std::memcpy(ramVersion.data(), memory.data() + kRamLoaderStart, 4);
        break;
    case P::kTxDataBlock: {
        if (!needs(P::kAddressedHeader + 2))
            break;
        const std::uint32_t len = params[0] | params[1] << 8;
        rec.length = len;
        if (len == 0 || !inRange(address, len, 0, 0xFFFF)) {
            message(P::kMsgPacketTooLong);
            break;
        }
        for (std::uint32_t done = 0; done < len;) {
            const std::size_t part = std::min<std::size_t>(P::kMaxCoreSize - 1, len - done);
            data(memory.data() + address + done, part);
            done += static_cast<std::uint32_t>(part);
        }
        break;
    }
    case P::kTxVersion: {
        if (!needs(1))
            break;
        const Version4 v = faults.ramLoaderVersion.value_or(ramVersion);
        data(v.data(), v.size());
        break;
    }
    default:
        break;
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
