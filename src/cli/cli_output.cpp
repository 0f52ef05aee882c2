#include "cli/cli_output.h"

#include "link/messages.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ostream>

namespace vardo::cli {

namespace {

// Device texts may hold anything; keep the terminal's control characters out.
std::string printable(std::string_view text)
{
    std::string out;
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(b < 0x20 || b == 0x7F ? '?' : c);
    }
    return out;
}

std::string modifierText(std::uint8_t byte)
{
    if (!codetable::isModifierByte(byte)) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(byte));
        return text;
    }
    std::string text(codetable::modifierItemText(codetable::modifierIndexFromByte(byte)));
    // " None" carries a blank of the list's own; a column starts without it.
    if (!text.empty() && text.front() == ' ')
        text.erase(0, 1);
    return text;
}

std::string optionsText(int mask)
{
    std::string text;
    const auto add = [&](const char* name) { text += text.empty() ? name : std::string(", ") + name; };
    if (mask & link::kOptionLedColour)
        add("LED colour");
    if (mask & link::kOptionLedBrightness)
        add("LED brightness");
    if (mask & link::kOptionBuzzer)
        add("buzzer");
    return text.empty() ? "none" : text;
}

int keyCount(int layout)
{
    return codetable::layoutKeyCount(layout);
}

void tableEntriesJson(std::ostream& out, int layout, const link::CodeTable& table)
{
    out << '[';
    for (int key = 1; key <= keyCount(layout); ++key) {
        const auto e = codetable::codeTableEntry(table, key);
        out << (key > 1 ? "," : "") << "{\"key\":" << key << ",\"modifier\":" << int(e.modifier)
            << ",\"usage\":" << int(e.usage) << ",\"modifierText\":" << jsonString(modifierText(e.modifier))
            << ",\"usageText\":" << jsonString(codetable::usageItemText(e.usage)) << '}';
    }
    out << ']';
}

std::string jsonStringOrNull(const std::string& text)
{
    return text.empty() ? "null" : jsonString(text);
}

void busJson(std::ostream& out, const char* kind, const BusDevice& d, bool& first)
{
    out << (first ? "" : ",") << "{\"kind\":\"" << kind << "\",\"port\":" << jsonString(d.port)
        << ",\"path\":" << jsonString(d.path) << ",\"serial\":" << jsonString(d.serial)
        << ",\"model\":" << jsonString(d.model) << ",\"firmware\":" << jsonString(d.firmware)
        << ",\"product\":" << jsonString(d.product) << ",\"interface\":" << d.interfaceNumber
        << ",\"problem\":" << jsonStringOrNull(d.problem) << ",\"recover\":" << jsonStringOrNull(d.recover)
        << '}';
    first = false;
}

} // namespace

std::string jsonString(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20 || b >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04X", static_cast<unsigned>(b));
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void printTableText(std::ostream& out, int layout, const link::CodeTable& table)
{
    for (int key = 1; key <= keyCount(layout); ++key) {
        const auto e = codetable::codeTableEntry(table, key);
        char line[96];
        std::snprintf(line, sizeof line, "Key %2d:  %-12s %s\n", key, modifierText(e.modifier).c_str(),
                      std::string(codetable::usageItemText(e.usage)).c_str());
        out << line;
    }
}

void printTableJson(std::ostream& out, int layout, const link::CodeTable& table)
{
    out << "{\"layout\":" << layout << ",\"layoutText\":" << jsonString(codetable::layoutItemText(layout))
        << ",\"keys\":";
    tableEntriesJson(out, layout, table);
    out << "}\n";
}

void printStatusText(std::ostream& out, const link::DeviceStatus& s, const BusDevice& device)
{
    const auto layoutText = codetable::layoutItemText(s.keypadType);
    out << "Device:       " << messages::modelName(s.optionsFitted) << '\n'
        << "Firmware:     " << printable(s.firmwareVersion) << '\n'
        << "Port:         " << (device.port.empty() ? "-" : printable(device.port)) << '\n'
        << "Serial:       " << (device.serial.empty() ? "-" : printable(device.serial)) << '\n'
        << "Path:         " << printable(device.path) << '\n'
        << "Options:      " << s.optionsFitted << " (" << optionsText(s.optionsFitted) << ")\n"
        << "Layout:       " << s.keypadType << " ("
        << (layoutText.empty() ? std::string("unknown") : std::string(layoutText)) << ")\n"
        << "Brightness:   " << s.ledBrightness << '\n'
        << "Colour:       " << s.ledColour << (s.ledColour == 0 ? " (White)" : "") << '\n'
        << "Buzzer:       " << s.buzzer
        << (s.buzzer == 0 ? " (Off)" : s.buzzer == 1 ? " (On)" : "") << '\n'
        << "Period:       " << s.buzzerPeriod << '\n'
        << "Code table:\n";
    printTableText(out, s.keypadType, s.codeTable);
}

void printStatusJson(std::ostream& out, const link::DeviceStatus& s, const BusDevice& device)
{
    out << "{\"port\":" << jsonString(device.port) << ",\"serial\":" << jsonString(device.serial)
        << ",\"path\":" << jsonString(device.path)
        << ",\"model\":" << jsonString(messages::modelName(s.optionsFitted))
        << ",\"firmware\":" << jsonString(s.firmwareVersion) << ",\"options\":" << s.optionsFitted
        << ",\"layout\":" << s.keypadType
        << ",\"layoutText\":" << jsonString(codetable::layoutItemText(s.keypadType))
        << ",\"brightness\":" << s.ledBrightness << ",\"colour\":" << s.ledColour
        << ",\"buzzer\":" << s.buzzer << ",\"buzzerPeriod\":" << s.buzzerPeriod
        // As the window's "Buzzer Period -N" box numbers it: the encoder keeps N + 1.
        << ",\"period\":" << s.buzzerPeriod - 1 << ",\"codeTable\":";
    tableEntriesJson(out, s.keypadType, s.codeTable);
    out << "}\n";
}

void printBusText(std::ostream& out, const std::vector<BusDevice>& encoders,
                  const std::vector<BusDevice>& loaders)
{
    if (encoders.empty() && loaders.empty())
        return;
    using Row = std::array<std::string, 7>;
    const auto orDash = [](const std::string& text) { return text.empty() ? std::string("-") : printable(text); };
    // Why an encoder shows "-": a column of its own, there only when one has a reason.
    const bool problems = std::any_of(encoders.begin(), encoders.end(), [](const BusDevice& d) {
        return !d.problem.empty();
    });
    std::vector<Row> rows{{"PORT", "KIND", "MODEL", "FIRMWARE", "SERIAL", "PATH", problems ? "PROBLEM" : ""}};
    for (const auto& d : encoders)
        rows.push_back({orDash(d.port), "encoder", orDash(d.model), orDash(d.firmware), orDash(d.serial),
                        printable(d.path), problems ? orDash(d.problem) : ""});
    for (const auto& d : loaders)
        rows.push_back({orDash(d.port), "loader", orDash(d.model), "-", orDash(d.serial), printable(d.path),
                        problems ? "-" : ""});
    std::array<std::size_t, 7> width{};
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i)
            width[i] = std::max(width[i], row[i].size());
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i + 1 < row.size(); ++i)
            line += row[i] + std::string(width[i] - row[i].size() + 2, ' ');
        line += row.back();
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out << line << '\n';
    }
}

void printFailureJson(std::ostream& out, const std::string& text, int code, const std::string& port)
{
    // The text's own suggestion, "(did you mean 'X'?)", also on its own.
    std::string suggestion;
    const std::string lead = "(did you mean '";
    if (const auto at = text.rfind(lead); at != std::string::npos) {
        const auto end = text.find("'?)", at + lead.size());
        if (end != std::string::npos)
            suggestion = text.substr(at + lead.size(), end - at - lead.size());
    }
    out << "{\"error\":" << jsonString(text) << ",\"exit\":" << code << ",\"port\":" << jsonStringOrNull(port)
        << ",\"did_you_mean\":" << jsonStringOrNull(suggestion) << "}\n";
}

std::string jsonStrings(const std::vector<std::string>& texts)
{
    std::string out = "[";
    for (std::size_t i = 0; i < texts.size(); ++i)
        out += (i ? "," : "") + jsonString(texts[i]);
    return out + "]";
}

void printChangeJson(std::ostream& out, const std::string& port, bool changed,
                     const std::vector<std::string>& sent)
{
    out << "{\"port\":" << jsonStringOrNull(port) << ",\"changed\":" << (changed ? "true" : "false")
        << ",\"sent\":" << jsonStrings(sent) << "}\n";
}

void printBusJson(std::ostream& out, const std::vector<BusDevice>& encoders,
                  const std::vector<BusDevice>& loaders)
{
    bool first = true;
    out << '[';
    for (const auto& d : encoders)
        busJson(out, "encoder", d, first);
    for (const auto& d : loaders)
        busJson(out, "loader", d, first);
    out << "]\n";
}

} // namespace vardo::cli
