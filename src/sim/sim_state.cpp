#include "sim/sim_state.h"

#include "codetable/usage_codes.h"
#include "platform/atomic_file.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <map>
#include <sstream>

namespace vardo::sim {

namespace {

constexpr int kMaxEncoders = 8;  // as many as the demo puts on its bus
constexpr std::size_t kRowBytes = 64;
constexpr char kHex[] = "0123456789ABCDEF";

std::string hexOf(const std::uint8_t* bytes, std::size_t count)
{
    std::string out;
    out.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 15];
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> bytesOf(std::string_view hex)
{
    if (hex.size() % 2)
        return std::nullopt;
    std::vector<std::uint8_t> out(hex.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto [end, ec] = std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, out[i], 16);
        if (ec != std::errc{} || end != hex.data() + 2 * i + 2)
            return std::nullopt;
    }
    return out;
}

std::vector<std::string_view> words(std::string_view text)
{
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto start = text.find_first_not_of(' ', at);
        if (start == std::string_view::npos)
            break;
        const auto end = std::min(text.find(' ', start), text.size());
        out.push_back(text.substr(start, end - start));
        at = end;
    }
    return out;
}

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::optional<unsigned> numberOf(std::string_view text, unsigned max, int base = 10)
{
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > max)
        return std::nullopt;
    return value;
}

// The flash of a released image of version on an erased chip, made once per version.
const std::vector<std::uint8_t>& imageFlash(const std::string& version)
{
    static std::mutex mutex;
    static std::map<std::string, std::vector<std::uint8_t>> made;
    std::lock_guard lock(mutex);
    auto& flash = made[version];
    if (flash.empty()) {
        flash.assign(kFlashBytes, 0xFF);
        for (const auto& s : makeEncoderFirmware(version))
            for (std::size_t i = 0; i < s.bytes.size(); ++i)
                if (s.address + i >= kFlashStart && s.address + i <= kFlashEnd)
                    flash[s.address + i - kFlashStart] = s.bytes[i];
    }
    return flash;
}

std::optional<std::string> versionIn(const std::vector<std::uint8_t>& flash)
{
    std::vector<std::uint8_t> memory(0x10000, 0xFF);
    std::copy(flash.begin(), flash.end(), memory.begin() + kFlashStart);
    return firmwareVersionIn(memory.data());
}

void formatSettings(std::ostream& out, const char* key, const char* tablesKey, const EncoderSettings& s)
{
    out << key << '=' << int(s.ledBrightness) << ' ' << int(s.ledColour) << ' ' << int(s.buzzer) << ' '
        << int(s.optionsFitted) << ' ' << int(s.buzzerPeriod) << ' ' << int(s.keypadType) << '\n'
        << tablesKey << '=';
    for (std::size_t t = 0; t < s.customTables.size(); ++t)
        out << (t ? " " : "") << hexOf(s.customTables[t].data(), kEncoderTableBytes);
    out << '\n';
}

const char* modeName(EncoderMode mode)
{
    switch (mode) {
    case EncoderMode::BootLoader:
        return "loader";
    case EncoderMode::Unplugged:
        return "unplugged";
    case EncoderMode::Application:
    case EncoderMode::Resetting:
        break;
    }
    return "application";
}

// One encoder's section while it is read: which of its lines were seen.
struct SectionReader {
    EncoderState state;
    std::map<std::string, bool> seen{{"mode", false},     {"settings", false},      {"tables", false},
                                     {"defaults", false}, {"defaultTables", false}, {"flash", false}};
    bool flashRows = false;  // flash=data

    // The error for a line with key and value, or "".
    std::string take(const std::string& key, std::string_view value)
    {
        if (key == "flashdata") {
            if (!flashRows)
                return "flashdata without flash=data before it";
            return takeRow(value);
        }
        const auto it = seen.find(key);
        if (it == seen.end())
            return "unknown key '" + key + "'";
        if (it->second)
            return "'" + key + "' given twice";
        it->second = true;
        if (key == "mode") {
            if (value == "application")
                state.mode = EncoderMode::Application;
            else if (value == "loader")
                state.mode = EncoderMode::BootLoader;
            else if (value == "unplugged")
                state.mode = EncoderMode::Unplugged;
            else
                return "mode must be application, loader or unplugged";
            return {};
        }
        if (key == "settings" || key == "defaults")
            return takeSettings(key == "settings" ? state.settings : state.defaults, value);
        if (key == "tables" || key == "defaultTables")
            return takeTables(key == "tables" ? state.settings : state.defaults, value);
        return takeFlash(value);
    }

    std::string takeSettings(EncoderSettings& s, std::string_view value)
    {
        const auto w = words(value);
        std::array<std::uint8_t*, 6> fields{&s.ledBrightness, &s.ledColour, &s.buzzer,
                                            &s.optionsFitted, &s.buzzerPeriod, &s.keypadType};
        if (w.size() != fields.size())
            return "settings take six numbers (brightness colour buzzer options period layout)";
        // What the encoder would refuse, an upgrade could not write back.
        constexpr codetable::Setting kinds[] = {codetable::Setting::LedBrightness, codetable::Setting::LedColour,
                                                codetable::Setting::Buzzer,        codetable::Setting::Options,
                                                codetable::Setting::BuzzerPeriod,  codetable::Setting::KeypadLayout};
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const auto n = numberOf(w[i], 255);
            if (!n)
                return "'" + std::string(w[i]) + "' is not a number 0-255";
            if (std::string why = codetable::settingProblem(kinds[i], *n); !why.empty())
                return why;
            *fields[i] = static_cast<std::uint8_t>(*n);
        }
        return {};
    }

    std::string takeTables(EncoderSettings& s, std::string_view value)
    {
        const auto w = words(value);
        if (w.size() != s.customTables.size())
            return "tables take three tables of 64 hex digits";
        for (std::size_t t = 0; t < w.size(); ++t) {
            const auto bytes = bytesOf(w[t]);
            if (!bytes || bytes->size() != kEncoderTableBytes)
                return "a table is 64 hex digits";
            std::copy(bytes->begin(), bytes->end(), s.customTables[t].begin());
            if (std::string why = codetable::codeTableProblem(s.customTables[t]); !why.empty())
                return "table " + std::to_string(t + 1) + ": " + why;
        }
        return {};
    }

    std::string takeFlash(std::string_view value)
    {
        const auto w = words(value);
        if (w.size() == 1 && w[0] == "erased")
            return {};
        if (w.size() == 1 && w[0] == "data") {
            flashRows = true;
            return {};
        }
        if (w.size() == 2 && w[0] == "image" && w[1].size() == kVersionLength) {
            state.flash = imageFlash(std::string(w[1]));
            return {};
        }
        return "flash must be 'image VERSION' (six characters), 'erased' or 'data'";
    }

    std::string takeRow(std::string_view value)
    {
        const auto w = words(value);
        const auto address = w.size() == 2 ? numberOf(w[0], kFlashEnd, 16) : std::nullopt;
        const auto bytes = w.size() == 2 ? bytesOf(w[1]) : std::nullopt;
        if (!address || !bytes || bytes->empty() || bytes->size() > kRowBytes)
            return "flashdata takes a hex address and up to 64 bytes in hex";
        if (*address < kFlashStart || *address + bytes->size() - 1 > kFlashEnd)
            return "flashdata outside the flash (4400-FFFF)";
        std::copy(bytes->begin(), bytes->end(), state.flash.begin() + (*address - kFlashStart));
        return {};
    }

    // The first line missing from the section, or "".
    std::string missing() const
    {
        for (const auto& [key, was] : seen)
            if (!was)
                return key;
        return {};
    }
};

} // namespace

namespace {

std::string stateHeader(std::size_t encoders)
{
    return "# The virtual encoders of vardo-encoder-demo and vardo-encoder-utility-demo.\n"
           "vardo-sim-state=1\nencoders="
           + std::to_string(encoders) + "\n";
}

// Encoder k's lines (k from 0).
std::string encoderSection(std::size_t k, const EncoderState& e)
{
    std::ostringstream out;
    out << "\n[encoder " << k + 1 << "]\nmode=" << modeName(e.mode) << '\n';
    formatSettings(out, "settings", "tables", e.settings);
    formatSettings(out, "defaults", "defaultTables", e.defaults);
    const auto version = versionIn(e.flash);
    if (std::all_of(e.flash.begin(), e.flash.end(), [](std::uint8_t b) { return b == 0xFF; })) {
        out << "flash=erased\n";
    } else if (version && e.flash == imageFlash(*version)) {
        out << "flash=image " << *version << '\n';
    } else {
        out << "flash=data\n";
        for (std::size_t at = 0; at < e.flash.size(); at += kRowBytes) {
            const std::size_t n = std::min(kRowBytes, e.flash.size() - at);
            if (std::any_of(e.flash.begin() + at, e.flash.begin() + at + n, [](std::uint8_t b) { return b != 0xFF; })) {
                char address[8];
                std::snprintf(address, sizeof address, "%04X", static_cast<unsigned>(kFlashStart + at));
                out << "flashdata=" << address << ' ' << hexOf(e.flash.data() + at, n) << '\n';
            }
        }
    }
    return out.str();
}

} // namespace

std::string formatSimState(const SimState& state)
{
    std::string text = stateHeader(state.encoders.size());
    for (std::size_t k = 0; k < state.encoders.size(); ++k)
        text += encoderSection(k, state.encoders[k]);
    return text;
}

std::optional<SimState> parseSimState(std::string_view text, std::string& error)
{
    SimState state;
    std::optional<std::size_t> count;
    std::optional<SectionReader> section;
    bool header = false;
    int lineNumber = 0;
    const auto failAt = [&](const std::string& why) {
        error = "line " + std::to_string(lineNumber) + ": " + why;
        return std::nullopt;
    };
    const auto closeSection = [&]() -> std::string {
        if (!section)
            return {};
        if (const std::string key = section->missing(); !key.empty())
            return "encoder " + std::to_string(state.encoders.size() + 1) + " has no '" + key + "' line";
        state.encoders.push_back(std::move(section->state));
        section.reset();
        return {};
    };

    std::size_t at = 0;
    while (at <= text.size()) {
        const auto end = std::min(text.find('\n', at), text.size());
        const std::string_view line = trimmed(text.substr(at, end - at));
        at = end + 1;
        ++lineNumber;
        if (line.empty() || line.front() == '#')
            continue;
        if (!header) {
            if (line != "vardo-sim-state=1")
                return failAt("not a virtual encoder state (it starts with vardo-sim-state=1)");
            header = true;
            continue;
        }
        if (line.front() == '[') {
            if (!count)
                return failAt("encoders=N must come before the first encoder");
            if (const std::string why = closeSection(); !why.empty())
                return failAt(why);
            const std::string expected = "[encoder " + std::to_string(state.encoders.size() + 1) + "]";
            if (line != expected)
                return failAt("expected " + expected);
            if (state.encoders.size() >= *count)
                return failAt("more encoders than encoders=" + std::to_string(*count));
            section.emplace();
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string_view::npos)
            return failAt("not KEY=VALUE");
        const std::string key(trimmed(line.substr(0, eq)));
        const std::string_view value = trimmed(line.substr(eq + 1));
        if (section) {
            if (const std::string why = section->take(key, value); !why.empty())
                return failAt(why);
        } else if (key == "encoders" && !count) {
            count = numberOf(value, kMaxEncoders);
            if (!count)
                return failAt("encoders must be 0-" + std::to_string(kMaxEncoders));
        } else {
            return failAt("unknown or repeated key '" + key + "'");
        }
    }
    if (!header || !count) {
        error = header ? "no encoders=N line" : "empty: not a virtual encoder state";
        return std::nullopt;
    }
    if (const std::string why = closeSection(); !why.empty()) {
        error = why;
        return std::nullopt;
    }
    if (state.encoders.size() != *count) {
        error = "encoders=" + std::to_string(*count) + " but " + std::to_string(state.encoders.size())
                + " encoder sections";
        return std::nullopt;
    }
    return state;
}

EncoderState captureEncoderState(VirtualEncoderDevice& device)
{
    EncoderState state;
    // Nothing here may run the bus's due actions: this runs inside one of them
    // (the restart after an upgrade), and another restart would notify again.
    const EncoderMode mode = device.encoder().modeAsIs();
    state.mode = mode == EncoderMode::Resetting ? EncoderMode::Application : mode;
    state.settings = device.encoder().settings();
    state.defaults = device.encoder().powerUpDefaults();
    state.flash = device.loader().read(kFlashStart, kFlashBytes);
    state.flash.resize(kFlashBytes, 0xFF);
    return state;
}

void restoreEncoderState(VirtualEncoderDevice& device, const EncoderState& state)
{
    device.unplug();
    device.loader().eraseFlash();
    device.loader().loadImage({ImageSection{kFlashStart, state.flash}});
    device.encoder().setPowerUpDefaults(state.defaults);
    if (state.mode == EncoderMode::BootLoader) {
        // It stays in its loader whatever the flash holds (an upgrade stopped half-way).
        device.encoder().startInLoader();
        device.loader().plugIn();
    } else if (state.mode == EncoderMode::Application) {
        device.plugIn();
    }
    device.encoder().setSettings(state.settings);
}

SimStateFile::~SimStateFile()
{
    std::string ignored;
    (void)detach(ignored);
}

bool SimStateFile::load(std::optional<SimState>& state, std::string& error)
{
    state.reset();
    const auto kind = platform::fileKind(path_);
    if (kind == platform::FileKind::Missing)
        return true;
    std::string text;
    if (kind != platform::FileKind::Regular || !platform::readRegularFile(path_, text)) {
        error = "cannot read the state file " + path_;
        return false;
    }
    std::string why;
    state = parseSimState(text, why);
    if (!state) {
        error = "the state file " + path_ + " is not usable: " + why;
        return false;
    }
    written_ = text;
    return true;
}

bool SimStateFile::watch(const std::vector<VirtualEncoderDevice*>& devices, std::string& error)
{
    {
        std::lock_guard lock(mutex_);
        devices_ = devices;
        watching_ = true;
    }
    if (!writeNow(error)) {
        std::lock_guard lock(mutex_);
        devices_.clear();
        watching_ = false;
        return false;
    }
    for (VirtualEncoderDevice* device : devices) {
        const auto write = [this] {
            std::string ignored;
            (void)writeNow(ignored);
        };
        listeners_.push_back(device->encoder().addListener(write));
        // The flash and the loader's comings and goings as they happen, so
        // that a run killed half-way through an upgrade leaves them on record.
        device->loader().setChangeHandler(write);
    }
    return true;
}

bool SimStateFile::detach(std::string& error)
{
    if (!watching_)
        return true;
    for (std::size_t i = 0; i < listeners_.size() && i < devices_.size(); ++i) {
        devices_[i]->encoder().removeListener(listeners_[i]);
        devices_[i]->loader().setChangeHandler({});
    }
    listeners_.clear();
    const bool ok = writeNow(error);
    std::lock_guard lock(mutex_);
    devices_.clear();
    watching_ = false;
    return ok;
}

bool SimStateFile::writeNow(std::string& error)
{
    // A change that the writing itself sets off (on this thread) is written by
    // the writer already running, never by taking its lock a second time.
    static thread_local const SimStateFile* t_writing = nullptr;
    if (t_writing == this) {
        again_ = true;
        return true;
    }
    std::lock_guard lock(mutex_);
    t_writing = this;
    bool ok = true;
    do {
        again_ = false;
        // Only the encoders that changed are written out anew.
        sections_.resize(devices_.size());
        std::string text = stateHeader(devices_.size());
        for (std::size_t k = 0; k < devices_.size(); ++k) {
            EncoderState now = captureEncoderState(*devices_[k]);
            if (!sections_[k] || sections_[k]->first != now)
                sections_[k].emplace(std::move(now), std::string());
            if (sections_[k]->second.empty())
                sections_[k]->second = encoderSection(k, sections_[k]->first);
            text += sections_[k]->second;
        }
        // Key clicks and LED changes that leave the state as it was cost no write.
        if (text == written_)
            continue;
        // Replaced whole at every change, many a second: atomic, not synced.
        if (!platform::replaceFile(path_, text, false)) {
            error = "cannot write the state file " + path_;
            ok = false;
            break;
        }
        written_ = text;
    } while (again_);
    t_writing = nullptr;
    return ok;
}

std::string portLockFolderFor(const std::string& statePath)
{
    if (statePath.empty())
        return {};
    const std::string folder = statePath + ".locks";
    static_cast<void>(platform::makeFolders(folder));
    return folder;
}

} // namespace vardo::sim
