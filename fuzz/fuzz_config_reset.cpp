// Feeds arbitrary stored values to the reset from the configuration file. The
// input is cut at LF into the values of KeypadLayout, LedBrightness,
// LedColour, Buzzer, BuzzerPeriod, CodeTableValues and FirstUp (missing ones
// are left out of the file; FirstUp defaults to "Yes"). The plan the reset
// would send, or the one message that refuses it, must match a plain reading
// of the stored decimal numbers and the ranges the encoder takes.
#include "memory_file.h"
#include "config/inifile.h"
#include "config/utility_config.h"
#include "codetable/usage_codes.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

using vardo::config::ResetOutcome;
using vardo::config::ResetPlan;

using vardo::fuzz::MemoryFile;

// A stored number: optional blanks, an optional sign, decimal digits, blanks;
// within 32-bit signed range.
std::optional<long long> storedNumber(std::string_view s)
{
    const std::string_view blanks = " \t\n\v\f\r";
    while (!s.empty() && blanks.find(s.front()) != std::string_view::npos)
        s.remove_prefix(1);
    while (!s.empty() && blanks.find(s.back()) != std::string_view::npos)
        s.remove_suffix(1);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    while (s.size() > 1 && s.front() == '0')
        s.remove_prefix(1);
    if (s.size() > 10)
        return std::nullopt;
    long long v = std::stoll(std::string(s));
    if (negative)
        v = -v;
    if (v < INT_MIN || v > INT_MAX)
        return std::nullopt;
    return v;
}

// The encoder gets a stored number's low 8 bits.
std::optional<std::uint8_t> storedByte(std::string_view s)
{
    const auto v = storedNumber(s);
    if (!v)
        return std::nullopt;
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(*v) & 0xFF);
}

std::vector<std::string> split(std::string_view text, char at)
{
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(at, start);
        pieces.emplace_back(text.substr(start, end == std::string_view::npos ? text.npos : end - start));
        if (end == std::string_view::npos)
            return pieces;
        start = end + 1;
    }
}

std::string invalid(const char* key)
{
    return std::string(vardo::config::kMsgInvalidValuePrefix) + key + "..";
}

struct Expected {
    ResetOutcome outcome = ResetOutcome::NotSent;
    std::string message;
    ResetPlan plan;
};

Expected expectedPlan(const std::string& configFile)
{
    auto GetSettings = [&](const char* key) { return vardo::config::GetSettings(key, configFile); };
    Expected e;
    if (GetSettings("FirstUp") != "Yes") {
        e.outcome = ResetOutcome::NotSaved;
        return e;
    }
    // Settings outside what the encoder takes are refused before anything is sent.
    auto byteOf = [&](const char* key, std::uint8_t& out, long long highest) {
        const auto n = storedNumber(GetSettings(key));
        if (!n || *n < 0 || *n > highest) {
            e.message = invalid(key);
            return false;
        }
        out = static_cast<std::uint8_t>(*n);
        return true;
    };
    if (!byteOf("KeypadLayout", e.plan.keypadType, 8))
        return e;
    const std::uint8_t layout = e.plan.keypadType;
    e.plan.sendTable = layout == 2 || layout == 5 || layout == 8;
    if (e.plan.sendTable) {
        // Exactly 32 numbers of 0-255 (one comma may end the list), making a
        // table of keys the editor offers.
        auto pieces = split(GetSettings("CodeTableValues"), ',');
        if (!pieces.empty() && pieces.back().empty())
            pieces.pop_back();
        bool whole = pieces.size() == 32;
        for (std::size_t i = 0; whole && i < 32; ++i) {
            const auto n = storedNumber(pieces[i]);
            whole = n && *n >= 0 && *n <= 255;
            if (whole)
                e.plan.codeTable[i] = static_cast<std::uint8_t>(*n);
        }
        for (std::size_t i = 32; i < pieces.size(); ++i)
            if (!storedNumber(pieces[i]))
                whole = false;
        if (!whole || !vardo::codetable::codeTableProblem(e.plan.codeTable).empty()) {
            e.message = invalid("CodeTableValues");
            return e;
        }
    }
    if (!byteOf("LedBrightness", e.plan.ledBrightness, 9) || !byteOf("LedColour", e.plan.ledColour, 2)
        || !byteOf("Buzzer", e.plan.buzzer, 1) || !byteOf("BuzzerPeriod", e.plan.buzzerPeriod, 10))
        return e;
    e.outcome = ResetOutcome::Sent;
    return e;
}

bool samePlan(const ResetPlan& a, const ResetPlan& b)
{
    return a.keypadType == b.keypadType && a.sendTable == b.sendTable
        && (!a.sendTable || a.codeTable == b.codeTable) && a.ledBrightness == b.ledBrightness
        && a.ledColour == b.ledColour && a.buzzer == b.buzzer && a.buzzerPeriod == b.buzzerPeriod;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const MemoryFile file;
    static constexpr std::array<const char*, 7> kKeys = {
        "KeypadLayout", "LedBrightness", "LedColour", "Buzzer", "BuzzerPeriod", "CodeTableValues",
        "FirstUp"};
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> values = split(input, '\n');

    // The number parser alone, on the raw bytes.
    for (const std::string& v : values) {
        std::uint8_t byte = 0x5A;
        const bool parsed = vardo::config::parseStoredByte(v, byte);
        const auto expected = storedByte(v);
        if (parsed != expected.has_value() || (parsed && byte != *expected) || (!parsed && byte != 0x5A))
            std::abort();
    }

    std::vector<vardo::config::Record> records;
    vardo::config::Record header;
    header.Section = vardo::config::kSection;
    records.push_back(header);
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        vardo::config::Record r;
        r.Section = vardo::config::kSection;
        r.Key = kKeys[i];
        if (i < values.size())
            r.Value = values[i];
        else if (i == 6)
            r.Value = "Yes";
        else
            continue;
        records.push_back(r);
    }
    file.fill(vardo::config::formatIniText(records));

    std::vector<std::string> messages;
    ResetPlan plan;
    plan.keypadType = 0xEE;
    const ResetPlan untouched = plan;
    const ResetOutcome outcome =
        vardo::config::readResetPlan(file.path, plan, [&](const std::string& m) { messages.push_back(m); });
    const Expected expected = expectedPlan(file.path);
    if (outcome != expected.outcome)
        std::abort();
    if (outcome == ResetOutcome::Sent) {
        if (!messages.empty() || !samePlan(plan, expected.plan))
            std::abort();
    } else {
        // Refused or not saved: the plan is left alone, one message at most.
        if (!samePlan(plan, untouched))
            std::abort();
        if (expected.message.empty() ? !messages.empty()
                                     : messages != std::vector<std::string>{expected.message})
            std::abort();
    }
    return 0;
}
