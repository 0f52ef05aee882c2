#include "sim/virtual_encoder.h"

#include "link/command_codes.h"
#include "link/frame.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/scripted_device.h"

#include <algorithm>
#include <bitset>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace vardo::sim {

namespace {

// The codes the link sends; their bytes on the wire are pinned by the link's frame tests.
using enum link::EncoderCommand;
using link::kNoKey;
using link::kOptionBuzzer;
using link::kOptionLedBrightness;
using link::kOptionLedColour;
constexpr std::size_t kVersionChars = 6;
// An effect reply that nobody reads still takes effect this long after it was due.
constexpr std::uint32_t kEffectGraceMs = 100;
constexpr std::size_t kCommandLogLimit = 10000;

// Our own usage codes for the tables built into the encoder.
EncoderTable tableOf(std::initializer_list<std::pair<std::uint8_t, std::uint8_t>> keys)
{
    EncoderTable t{};
    std::size_t i = 0;
    for (auto [modifier, usage] : keys) {
        t[i++] = modifier;
        t[i++] = usage;
    }
    return t;
}

constexpr std::uint8_t kShift = 0xE1;

int customSlot(int layout)
{
    const int keys = VirtualEncoder::keyCount(layout);
    return keys == 4 ? 0 : keys == 12 ? 1 : 2;
}

bool isCustomLayout(int layout) { return layout == 2 || layout == 5 || layout == 8; }

std::size_t statusTableBytes(int layout)
{
    const int keys = VirtualEncoder::keyCount(layout);
    return static_cast<std::size_t>(keys * 2);
}

enum class Effect { None, FactoryReset, EnterBsl };

class CommandEndpoint;
class KeyboardEndpoint;

} // namespace

// ---------------------------------------------------------------------------

struct VirtualEncoder::Core : std::enable_shared_from_this<VirtualEncoder::Core> {
    explicit Core(VirtualEncoderConfig c);

    // Bus interface of the command endpoint.
    int write(const std::uint8_t* data, std::size_t length);
    int read(std::uint8_t* data, std::size_t length);
    std::optional<std::uint64_t> nextReportDue();
    void hostClosed();

    void pressKey(int index);

    // Transitions between modes (take the transition lock, then the state lock).
    void attachInterfaces();
    void detachInterfaces();
    void powerUp();
    void leaveBus(EncoderMode to);
    void runEffect(std::uint64_t token);
    void reattachAfterReset(std::uint64_t token);

    // Calls the listeners when the revision moved; never under a lock.
    void notify();

    // --- under mutex ---
    void queueLocked(Report report, std::uint64_t dueMs, Effect effect = Effect::None);
    void generateTimedLocked(std::uint64_t now);
    std::vector<std::uint8_t> statusMessageLocked() const;
    EncoderTable activeTableLocked() const;
    bool executeLocked(std::uint8_t code, const std::vector<std::uint8_t>& payload,
                       std::uint64_t now, std::vector<std::uint8_t>& data, Effect& effect);
    std::optional<FaultPlan> takeFaultLocked(std::uint8_t code);
    void changedLocked() { ++revision; }
    bool onBusLocked() const { return mode == EncoderMode::Application; }

    mutable std::mutex mutex;
    std::recursive_mutex transitions;

    VirtualEncoderConfig cfg;
    EncoderSettings current;
    EncoderSettings stored;
    std::string version;
    EncoderMode mode = EncoderMode::Unplugged;

    struct Queued {
        std::uint64_t dueMs;
        Report report;
        Effect effect;
    };
    std::deque<Queued> queue;
    std::uint64_t effectToken = 0;     // the armed effect; 0 none
    std::uint64_t nextToken = 1;
    Effect armedEffect = Effect::None;
    int effectFallbackId = 0;
    std::uint64_t resetToken = 0;      // pending re-attach after a factory reset
    int reattachId = 0;

    bool selfTest = false;
    bool keyTest = false;
    std::uint64_t lastKeyActivityMs = 0;
    std::bitset<16> keysPressed;

    std::uint64_t soundUntilMs = 0;
    int lastSounded = -1;
    int beeps = 0;

    std::vector<ReceivedCommand> received;
    std::vector<KeyStroke> strokes;
    std::vector<FaultPlan> faults;
    std::function<void()> bslHandler;
    std::map<int, std::function<void()>> listeners;
    int nextListener = 1;
    std::uint64_t revision = 0;
    std::uint64_t notifiedRevision = 0;

    std::shared_ptr<HidEndpoint> commandEndpoint;
    std::shared_ptr<HidEndpoint> keyboardEndpoint;
};

namespace {

class CommandEndpoint final : public HidEndpoint {
public:
    explicit CommandEndpoint(std::weak_ptr<VirtualEncoder::Core> core) : core_(std::move(core)) {}
    int write(const std::uint8_t* data, std::size_t length) override
    {
        auto core = core_.lock();
        return core ? core->write(data, length) : -1;
    }
    int read(std::uint8_t* data, std::size_t length) override
    {
        auto core = core_.lock();
        return core ? core->read(data, length) : -1;
    }
    std::optional<std::uint64_t> nextReportDue() override
    {
        auto core = core_.lock();
        return core ? core->nextReportDue() : std::nullopt;
    }
    void closed() override
    {
        if (auto core = core_.lock())
            core->hostClosed();
    }

private:
    std::weak_ptr<VirtualEncoder::Core> core_;
};

// The keyboard interface takes output reports (LED state) and never answers
// on the command protocol.
class KeyboardEndpoint final : public HidEndpoint {
public:
    int write(const std::uint8_t*, std::size_t length) override { return static_cast<int>(length); }
    int read(std::uint8_t*, std::size_t) override { return 0; }
    std::optional<std::uint64_t> nextReportDue() override { return std::nullopt; }
};

} // namespace

VirtualEncoder::Core::Core(VirtualEncoderConfig c)
    : cfg(std::move(c)), current(cfg.factorySettings), stored(cfg.factorySettings),
      version(cfg.firmwareVersion)
{
}

void VirtualEncoder::Core::queueLocked(Report report, std::uint64_t dueMs, Effect effect)
{
    auto at = std::upper_bound(queue.begin(), queue.end(), dueMs,
                               [](std::uint64_t due, const Queued& q) { return due < q.dueMs; });
    queue.insert(at, Queued{dueMs, std::move(report), effect});
}

void VirtualEncoder::Core::generateTimedLocked(std::uint64_t now)
{
    if (keyTest && now >= lastKeyActivityMs + cfg.keyTestQuietMs) {
        const std::uint8_t none[1] = {kNoKey};
        queueLocked(makeReplyReport(SELF_TEST, none), lastKeyActivityMs + cfg.keyTestQuietMs);
        keyTest = false;
        changedLocked();
    }
}

EncoderTable VirtualEncoder::Core::activeTableLocked() const
{
    const int layout = current.keypadType;
    if (layout <= 8 && !isCustomLayout(layout))
        return predefinedTable(layout);
    return current.customTables[static_cast<std::size_t>(customSlot(layout))];
}

std::vector<std::uint8_t> VirtualEncoder::Core::statusMessageLocked() const
{
    const std::size_t k = statusTableBytes(current.keypadType);
    std::vector<std::uint8_t> m(6 + k + kVersionChars, 0);
    m[0] = current.ledBrightness;
    m[1] = current.ledColour;
    m[2] = current.buzzer;
    m[3] = current.optionsFitted;
    m[4] = current.buzzerPeriod;
    m[5] = current.keypadType;
    const EncoderTable table = activeTableLocked();
    std::copy_n(table.begin(), k, m.begin() + 6);
    std::string v = version;
    v.resize(kVersionChars, ' ');
    std::copy(v.begin(), v.end(), m.begin() + static_cast<std::ptrdiff_t>(6 + k));
    return m;
}

std::optional<FaultPlan> VirtualEncoder::Core::takeFaultLocked(std::uint8_t code)
{
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (it->command >= 0 && it->command != code)
            continue;
        if (it->fault == EncoderFault::ShortStatus && code != GET_STATUS)
            continue;
        FaultPlan plan = *it;
        if (!plan.persistent)
            faults.erase(it);
        return plan;
    }
    return std::nullopt;
}

bool VirtualEncoder::Core::executeLocked(std::uint8_t code, const std::vector<std::uint8_t>& payload,
                                         std::uint64_t now, std::vector<std::uint8_t>& data,
                                         Effect& effect)
{
    const bool none = payload.empty();
    const bool one = payload.size() == 1;
    const std::uint8_t v = one ? payload[0] : 0;
    switch (code) {
    case GET_STATUS:
        if (!none)
            return false;
        data = statusMessageLocked();
        return true;
    case SET_LED_BRIGHTNESS:
        if (!one || v > 9)
            return false;
        current.ledBrightness = v;
        return true;
    case SET_LED_COLOUR:
        if (!one || v > 2)
            return false;
        current.ledColour = v;
        return true;
    case SET_BUZZER:
        if (!one || v > 1)
            return false;
        current.buzzer = v;
        return true;
    case LOAD_CODE_TABLE: {
        if (payload.size() != kEncoderTableBytes)
            return false;
        // Goes into the customised table of the current keypad's size, so a
        // predefined layout stays as the factory made it.
        auto& table = current.customTables[static_cast<std::size_t>(customSlot(current.keypadType))];
        std::copy(payload.begin(), payload.end(), table.begin());
        return true;
    }
    case SET_BUZZER_PERIOD:
        if (!one || v > 10)
            return false;
        current.buzzerPeriod = v;
        return true;
    case SET_KEYPAD_TYPE:
        if (!one || v > 8)
            return false;
        current.keypadType = v;
        return true;
    case SELF_TEST:
        if (!one || (v != 1 && v != 2))
            return false;
        selfTest = v == 1;
        keyTest = selfTest;
        keysPressed.reset();
        lastKeyActivityMs = now;
        return true;
    case WRITE_DEFAULTS:
        if (!none)
            return false;
        stored = current;
        return true;
    case FACTORY_RESET:
        if (!none)
            return false;
        current = stored = cfg.factorySettings;
        effect = Effect::FactoryReset;
        return true;
    case SET_OPTIONS:
        if (!one || v > 7)
            return false;
        current.optionsFitted = v;
        return true;
    case ENTER_BSL:
        if (!none)
            return false;
        effect = Effect::EnterBsl;
        return true;
    case SOUND_BUZZER:
        if (!one || v > 9)
            return false;
        if (current.optionsFitted & kOptionBuzzer) {
            soundUntilMs = now + 100u * (v + 1u);
            lastSounded = v;
            ++beeps;
        }
        return true;
    default:
        return false;
    }
}

int VirtualEncoder::Core::write(const std::uint8_t* data, std::size_t length)
{
    std::uint64_t effectDue = 0;
    std::uint64_t token = 0;
    bool answered = true;
    {
        std::lock_guard lock(mutex);
        if (!onBusLocked())
            return -1;
        const std::uint64_t now = platform::clock().nowMs();
        changedLocked();

        // A frame the firmware cannot parse is refused like a bad value.
        const std::span<const std::uint8_t> frame(data, length);
        const std::optional<link::frame::Command> command = link::frame::decodeCommand(frame);
        const bool wellFormed = command.has_value();
        const auto replyCode = link::frame::commandCode(frame).value_or(0);
        // A demo left running for days must not grow without bound.
        if (received.size() >= kCommandLogLimit)
            received.erase(received.begin(), received.begin() + kCommandLogLimit / 2);
        std::optional<FaultPlan> lastFault;
        if (!wellFormed) {
            received.push_back({now, replyCode, {}, false});
            queueLocked(makeRefusalReport(replyCode), now + cfg.replyDelayMs);
        } else {
            received.push_back(
                {now, replyCode, std::vector<std::uint8_t>(command->payload.begin(), command->payload.end()), false});
            lastFault = takeFaultLocked(replyCode);
            answered = !(lastFault && lastFault->fault == EncoderFault::Silence);
        }
        if (wellFormed && answered) {
            const std::vector<std::uint8_t> payload = received.back().payload;
            const std::optional<FaultPlan> fault = lastFault;
            const EncoderFault kind = fault ? fault->fault : EncoderFault::Refuse;
            std::uint64_t due = now;
            for (int i = 0; i < cfg.ackReports; ++i) {
                due += cfg.ackSpacingMs;
                queueLocked(makeAckReport(), due);
            }
            due += fault && kind == EncoderFault::LateReply ? fault->lateByMs : cfg.replyDelayMs;

            std::vector<std::uint8_t> replyData;
            Effect effect = Effect::None;
            if ((fault && kind == EncoderFault::Refuse)
                || !executeLocked(replyCode, payload, now, replyData, effect)) {
                queueLocked(makeRefusalReport(replyCode), due);
            } else {
                received.back().accepted = true;
                if (fault && kind == EncoderFault::ShortStatus)
                    replyData.pop_back();
                Report reply = makeReplyReport(replyCode, replyData);
                const std::size_t n = replyData.size() + 1;
                if (fault && kind == EncoderFault::BadChecksum)
                    reply[8 + n] ^= 0x5A;
                if (fault && kind == EncoderFault::BadLength)
                    link::frame::putHex(static_cast<std::uint8_t>(n + 1), &reply[5]);
                if (fault && kind == EncoderFault::ByteCountTooLarge)
                    reply[1] = 0x41;
                queueLocked(std::move(reply), due, effect);
                if (effect != Effect::None) {
                    token = effectToken = nextToken++;
                    armedEffect = effect;
                    effectDue = due + kEffectGraceMs;
                }
            }
        }
    }
    if (token != 0) {
        // Takes effect when the host reads the reply, or a moment later if it never does.
        std::weak_ptr<Core> weak = weak_from_this();
        const int id = Bus::instance().schedule(effectDue, [weak, token] {
            if (auto core = weak.lock())
                core->runEffect(token);
        });
        std::lock_guard lock(mutex);
        effectFallbackId = id;
    }
    if (answered)
        Bus::instance().notifyReport();
    notify();
    return static_cast<int>(length);
}

int VirtualEncoder::Core::read(std::uint8_t* data, std::size_t length)
{
    std::uint64_t token = 0;
    int n = 0;
    {
        std::lock_guard lock(mutex);
        if (!onBusLocked())
            return -1;
        const std::uint64_t now = platform::clock().nowMs();
        generateTimedLocked(now);
        if (queue.empty() || queue.front().dueMs > now)
            return 0;
        Queued q = std::move(queue.front());
        queue.pop_front();
        n = static_cast<int>(std::min(length, q.report.size()));
        std::memcpy(data, q.report.data(), static_cast<std::size_t>(n));
        if (q.effect != Effect::None)
            token = effectToken;
    }
    if (token != 0)
        runEffect(token);
    notify();
    return n;
}

std::optional<std::uint64_t> VirtualEncoder::Core::nextReportDue()
{
    std::lock_guard lock(mutex);
    std::optional<std::uint64_t> due;
    if (!queue.empty())
        due = queue.front().dueMs;
    if (keyTest) {
        const std::uint64_t quietEnd = lastKeyActivityMs + cfg.keyTestQuietMs;
        if (!due || quietEnd < *due)
            due = quietEnd;
    }
    return due;
}

void VirtualEncoder::Core::hostClosed()
{
    // Reports queued for a handle die with it, as with a closed hidraw file.
    std::lock_guard lock(mutex);
    std::erase_if(queue, [](const Queued& q) { return q.effect == Effect::None; });
}

void VirtualEncoder::Core::pressKey(int index)
{
    {
        std::lock_guard lock(mutex);
        if (!onBusLocked())
            return;
        const std::uint64_t now = platform::clock().nowMs();
        generateTimedLocked(now);
        changedLocked();
        if (selfTest) {
            if (!keyTest)
                return;
            const std::uint8_t key[1] = {static_cast<std::uint8_t>(index)};
            queueLocked(makeReplyReport(SELF_TEST, key), now);
            lastKeyActivityMs = now;
            const int keys = keyCount(current.keypadType);
            if (index >= 0 && index < keys)
                keysPressed.set(static_cast<std::size_t>(index));
            if (static_cast<int>(keysPressed.count()) == keys) {
                const std::uint8_t done[1] = {kNoKey};
                queueLocked(makeReplyReport(SELF_TEST, done), now);
                keyTest = false;
            }
        } else {
            if (index < 0 || index >= keyCount(current.keypadType))
                return;
            const EncoderTable table = activeTableLocked();
            const auto i = static_cast<std::size_t>(index) * 2;
            strokes.push_back({now, index, table[i], table[i + 1]});
            if (current.buzzer && (current.optionsFitted & kOptionBuzzer))
                soundUntilMs = now + 50u * (current.buzzerPeriod + 1u);
        }
    }
    Bus::instance().notifyReport();
    notify();
}

void VirtualEncoder::Core::attachInterfaces()
{
    DeviceInfo kbd;
    kbd.path = cfg.port + ":1.0";
    kbd.vendorId = cfg.vendorId;
    kbd.productId = cfg.productId;
    kbd.interfaceNumber = 0;
    kbd.manufacturer = cfg.manufacturer;
    kbd.product = cfg.product;
    kbd.serial = cfg.serial;
    kbd.openable = cfg.openable;
    DeviceInfo cmd = kbd;
    cmd.path = cfg.port + ":1.1";
    cmd.interfaceNumber = 1;
    Bus::instance().attach(kbd, keyboardEndpoint);
    Bus::instance().attach(cmd, commandEndpoint);
}

void VirtualEncoder::Core::detachInterfaces()
{
    Bus::instance().detach(cfg.port + ":1.1");
    Bus::instance().detach(cfg.port + ":1.0");
}

void VirtualEncoder::Core::powerUp()
{
    std::lock_guard transition(transitions);
    int cancelReattach = 0;
    bool attach = false;
    {
        std::lock_guard lock(mutex);
        if (mode != EncoderMode::Application) {
            current = stored;
            selfTest = keyTest = false;
            queue.clear();
            effectToken = 0;
            cancelReattach = std::exchange(reattachId, 0);
            resetToken = 0;
            mode = EncoderMode::Application;
            attach = true;
            changedLocked();
        }
    }
    if (cancelReattach)
        Bus::instance().cancel(cancelReattach);
    if (attach)
        attachInterfaces();
    notify();
}

void VirtualEncoder::Core::leaveBus(EncoderMode to)
{
    std::lock_guard transition(transitions);
    bool detach = false;
    int cancelReattach = 0;
    int cancelEffect = 0;
    {
        std::lock_guard lock(mutex);
        detach = mode == EncoderMode::Application;
        if (to != EncoderMode::Resetting) {
            cancelReattach = std::exchange(reattachId, 0);
            resetToken = 0;
        }
        cancelEffect = std::exchange(effectFallbackId, 0);
        effectToken = 0;
        queue.clear();
        selfTest = keyTest = false;
        soundUntilMs = 0;
        mode = to;
        changedLocked();
    }
    if (cancelReattach)
        Bus::instance().cancel(cancelReattach);
    if (cancelEffect)
        Bus::instance().cancel(cancelEffect);
    if (detach)
        detachInterfaces();
    notify();
}

void VirtualEncoder::Core::runEffect(std::uint64_t token)
{
    std::lock_guard transition(transitions);
    Effect effect = Effect::None;
    {
        std::lock_guard lock(mutex);
        if (token == 0 || token != effectToken)
            return;
        effect = armedEffect;
        effectToken = 0;
        armedEffect = Effect::None;
    }
    if (effect == Effect::FactoryReset) {
        leaveBus(EncoderMode::Resetting);
        std::uint64_t due = 0;
        std::uint64_t reset = 0;
        {
            std::lock_guard lock(mutex);
            reset = resetToken = nextToken++;
            due = platform::clock().nowMs() + cfg.reenumerateDelayMs;
        }
        std::weak_ptr<Core> weak = weak_from_this();
        const int id = Bus::instance().schedule(due, [weak, reset] {
            if (auto core = weak.lock())
                core->reattachAfterReset(reset);
        });
        std::lock_guard lock(mutex);
        reattachId = id;
    } else if (effect == Effect::EnterBsl) {
        leaveBus(EncoderMode::BootLoader);
        std::function<void()> handler;
        {
            std::lock_guard lock(mutex);
            handler = bslHandler;
        }
        if (handler)
            handler();
    }
}

void VirtualEncoder::Core::reattachAfterReset(std::uint64_t token)
{
    std::lock_guard transition(transitions);
    {
        std::lock_guard lock(mutex);
        if (token != resetToken || mode != EncoderMode::Resetting)
            return;
        reattachId = 0;
        resetToken = 0;
    }
    powerUp();
}

void VirtualEncoder::Core::notify()
{
    std::vector<std::function<void()>> toCall;
    {
        std::lock_guard lock(mutex);
        if (revision == notifiedRevision)
            return;
        notifiedRevision = revision;
        for (auto& [id, l] : listeners)
            toCall.push_back(l);
    }
    for (auto& l : toCall)
        l();
}

// ---------------------------------------------------------------------------

EncoderSettings EncoderSettings::factory()
{
    EncoderSettings s;
    // Letters a, b, c ... so a fresh customised keypad types something visible.
    for (std::size_t slot = 0; slot < s.customTables.size(); ++slot) {
        const int keys = slot == 0 ? 4 : slot == 1 ? 12 : 16;
        for (int k = 0; k < keys; ++k)
            s.customTables[slot][static_cast<std::size_t>(2 * k + 1)] =
                static_cast<std::uint8_t>(0x04 + k);
    }
    return s;
}

EncoderTable VirtualEncoder::predefinedTable(int layout)
{
    switch (layout) {
    case 0: // F1-F4
        return tableOf({{0, 0x3A}, {0, 0x3B}, {0, 0x3C}, {0, 0x3D}});
    case 1: // up, down, left, right
        return tableOf({{0, 0x52}, {0, 0x51}, {0, 0x50}, {0, 0x4F}});
    case 3: // 1 2 3 / 4 5 6 / 7 8 9 / * 0 #
        return tableOf({{0, 0x59}, {0, 0x5A}, {0, 0x5B}, {0, 0x5C}, {0, 0x5D}, {0, 0x5E},
                        {0, 0x5F}, {0, 0x60}, {0, 0x61}, {0, 0x55}, {0, 0x62}, {kShift, 0x20}});
    case 4: // 7 8 9 / 4 5 6 / 1 2 3 / 0 . Enter
        return tableOf({{0, 0x5F}, {0, 0x60}, {0, 0x61}, {0, 0x5C}, {0, 0x5D}, {0, 0x5E},
                        {0, 0x59}, {0, 0x5A}, {0, 0x5B}, {0, 0x62}, {0, 0x63}, {0, 0x58}});
    case 6: // 1 2 3 A / 4 5 6 B / 7 8 9 C / * 0 # D
        return tableOf({{0, 0x59}, {0, 0x5A}, {0, 0x5B}, {kShift, 0x04}, {0, 0x5C}, {0, 0x5D},
                        {0, 0x5E}, {kShift, 0x05}, {0, 0x5F}, {0, 0x60}, {0, 0x61},
                        {kShift, 0x06}, {0, 0x55}, {0, 0x62}, {kShift, 0x20}, {kShift, 0x07}});
    case 7: // 7 8 9 / ; 4 5 6 * ; 1 2 3 - ; 0 . Enter +
        return tableOf({{0, 0x5F}, {0, 0x60}, {0, 0x61}, {0, 0x54}, {0, 0x5C}, {0, 0x5D},
                        {0, 0x5E}, {0, 0x55}, {0, 0x59}, {0, 0x5A}, {0, 0x5B}, {0, 0x56},
                        {0, 0x62}, {0, 0x63}, {0, 0x58}, {0, 0x57}});
    default:
        return {};
    }
}

int VirtualEncoder::keyCount(int layout)
{
    if (layout >= 0 && layout <= 2)
        return 4;
    if (layout >= 3 && layout <= 5)
        return 12;
    return 16;
}

const char* VirtualEncoder::commandName(std::uint8_t code)
{
    static const char* const names[] = {
        "GET_STATUS",      "SET_LED_BRIGHTNESS", "SET_LED_COLOUR", "SET_BUZZER",
        "LOAD_CODE_TABLE", "SET_BUZZER_PERIOD",  "SET_KEYPAD_TYPE", "SELF_TEST",
        "WRITE_DEFAULTS",  "FACTORY_RESET",      "SET_OPTIONS",     "ENTER_BSL",
        "SOUND_BUZZER"};
    if (code >= 1 && code <= 13)
        return names[code - 1];
    return "UNKNOWN";
}

VirtualEncoder::VirtualEncoder(VirtualEncoderConfig config)
    : core_(std::make_shared<Core>(std::move(config)))
{
    core_->commandEndpoint = std::make_shared<CommandEndpoint>(core_);
    core_->keyboardEndpoint = std::make_shared<KeyboardEndpoint>();
    if (core_->cfg.plugIn)
        core_->powerUp();
}

VirtualEncoder::~VirtualEncoder()
{
    core_->leaveBus(EncoderMode::Unplugged);
    std::lock_guard lock(core_->mutex);
    core_->listeners.clear();
    core_->bslHandler = nullptr;
}

std::string VirtualEncoder::commandPath() const { return core_->cfg.port + ":1.1"; }
std::string VirtualEncoder::keyboardPath() const { return core_->cfg.port + ":1.0"; }
std::string VirtualEncoder::usbPort() const
{
    const std::string& port = core_->cfg.port;
    return port.rfind("sim:", 0) == 0 ? port.substr(4) : port;
}
std::wstring VirtualEncoder::serialNumber() const { return core_->cfg.serial; }

void VirtualEncoder::plugIn() { core_->powerUp(); }
void VirtualEncoder::unplug() { core_->leaveBus(EncoderMode::Unplugged); }

bool VirtualEncoder::plugged() const
{
    // A due re-enumeration happens here too, so a window polling us sees it on time.
    Bus::instance().runDue();
    std::lock_guard lock(core_->mutex);
    return core_->mode == EncoderMode::Application;
}

EncoderMode VirtualEncoder::mode() const
{
    Bus::instance().runDue();
    return modeAsIs();
}

EncoderMode VirtualEncoder::modeAsIs() const
{
    std::lock_guard lock(core_->mutex);
    return core_->mode;
}

void VirtualEncoder::setOpenable(bool openable)
{
    std::lock_guard transition(core_->transitions);
    bool announce = false;
    {
        std::lock_guard lock(core_->mutex);
        core_->cfg.openable = openable;
        announce = core_->mode == EncoderMode::Application;
        core_->changedLocked();
    }
    if (announce)
        core_->attachInterfaces();
    core_->notify();
}

void VirtualEncoder::setEnterBslHandler(std::function<void()> handler)
{
    std::lock_guard lock(core_->mutex);
    core_->bslHandler = std::move(handler);
}

void VirtualEncoder::restartApplication(const std::string& firmwareVersion)
{
    std::lock_guard transition(core_->transitions);
    {
        std::lock_guard lock(core_->mutex);
        core_->version = firmwareVersion;
        core_->changedLocked();
    }
    bool running = false;
    {
        std::lock_guard lock(core_->mutex);
        running = core_->mode == EncoderMode::Application;
    }
    if (running)
        core_->leaveBus(EncoderMode::Unplugged);
    core_->powerUp();
}

void VirtualEncoder::startInLoader() { core_->leaveBus(EncoderMode::BootLoader); }

#define VE_GET(expr)                                                                               \
    std::lock_guard lock(core_->mutex);                                                            \
    return expr

EncoderSettings VirtualEncoder::settings() const { VE_GET(core_->current); }
EncoderSettings VirtualEncoder::powerUpDefaults() const { VE_GET(core_->stored); }
int VirtualEncoder::ledBrightness() const { VE_GET(core_->current.ledBrightness); }
int VirtualEncoder::ledColour() const { VE_GET(core_->current.ledColour); }
int VirtualEncoder::buzzer() const { VE_GET(core_->current.buzzer); }
int VirtualEncoder::optionsFitted() const { VE_GET(core_->current.optionsFitted); }
int VirtualEncoder::buzzerPeriod() const { VE_GET(core_->current.buzzerPeriod); }
int VirtualEncoder::keypadType() const { VE_GET(core_->current.keypadType); }
std::string VirtualEncoder::firmwareVersion() const { VE_GET(core_->version); }
EncoderTable VirtualEncoder::activeCodeTable() const { VE_GET(core_->activeTableLocked()); }
std::vector<std::uint8_t> VirtualEncoder::statusMessage() const { VE_GET(core_->statusMessageLocked()); }
int VirtualEncoder::lastSoundedPeriod() const { VE_GET(core_->lastSounded); }
int VirtualEncoder::beepCount() const { VE_GET(core_->beeps); }
bool VirtualEncoder::selfTestMode() const { VE_GET(core_->selfTest); }
std::vector<ReceivedCommand> VirtualEncoder::receivedCommands() const { VE_GET(core_->received); }
std::vector<KeyStroke> VirtualEncoder::keyStrokes() const { VE_GET(core_->strokes); }
std::uint64_t VirtualEncoder::revision() const { VE_GET(core_->revision); }

#undef VE_GET

bool VirtualEncoder::keyTestRunning() const
{
    std::lock_guard lock(core_->mutex);
    core_->generateTimedLocked(platform::clock().nowMs());
    return core_->keyTest;
}

int VirtualEncoder::ledLevel() const
{
    std::lock_guard lock(core_->mutex);
    const auto& s = core_->current;
    if (core_->mode != EncoderMode::Application)
        return 0;
    if (s.optionsFitted & kOptionLedBrightness)
        return s.ledBrightness;
    if (s.optionsFitted & kOptionLedColour)
        return s.ledBrightness > 0 ? 9 : 0;
    return 0;
}

bool VirtualEncoder::buzzerSounding() const
{
    std::lock_guard lock(core_->mutex);
    return core_->mode == EncoderMode::Application
        && platform::clock().nowMs() < core_->soundUntilMs;
}

void VirtualEncoder::clearReceivedCommands()
{
    std::lock_guard lock(core_->mutex);
    core_->received.clear();
}

int VirtualEncoder::addListener(std::function<void()> listener)
{
    std::lock_guard lock(core_->mutex);
    const int id = core_->nextListener++;
    core_->listeners.emplace(id, std::move(listener));
    return id;
}

void VirtualEncoder::removeListener(int id)
{
    std::lock_guard lock(core_->mutex);
    core_->listeners.erase(id);
}

void VirtualEncoder::pressKey(int index) { core_->pressKey(index); }

namespace {
template <typename F>
void changeState(VirtualEncoder::Core& core, F&& f)
{
    {
        std::lock_guard lock(core.mutex);
        f();
        core.changedLocked();
    }
    core.notify();
}
} // namespace

void VirtualEncoder::setSettings(const EncoderSettings& settings)
{
    changeState(*core_, [&] { core_->current = settings; });
}

void VirtualEncoder::setPowerUpDefaults(const EncoderSettings& settings)
{
    changeState(*core_, [&] { core_->stored = settings; });
}

void VirtualEncoder::setKeypadTypeRaw(std::uint8_t code)
{
    changeState(*core_, [&] { core_->current.keypadType = code; });
}

void VirtualEncoder::setFirmwareVersion(const std::string& version)
{
    changeState(*core_, [&] { core_->version = version; });
}

void VirtualEncoder::setReplyDelayMs(std::uint32_t ms)
{
    std::lock_guard lock(core_->mutex);
    core_->cfg.replyDelayMs = ms;
}

void VirtualEncoder::setAckReports(int count, std::uint32_t spacingMs)
{
    std::lock_guard lock(core_->mutex);
    core_->cfg.ackReports = std::max(0, count);
    core_->cfg.ackSpacingMs = spacingMs;
}

void VirtualEncoder::setReenumerateDelayMs(std::uint32_t ms)
{
    std::lock_guard lock(core_->mutex);
    core_->cfg.reenumerateDelayMs = ms;
}

void VirtualEncoder::setKeyTestQuietMs(std::uint32_t ms)
{
    std::lock_guard lock(core_->mutex);
    core_->cfg.keyTestQuietMs = ms;
}

void VirtualEncoder::injectFault(const FaultPlan& plan)
{
    std::lock_guard lock(core_->mutex);
    core_->faults.push_back(plan);
}

void VirtualEncoder::clearFaults()
{
    std::lock_guard lock(core_->mutex);
    core_->faults.clear();
}

} // namespace vardo::sim
