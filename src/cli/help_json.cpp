// 'help --json': what the tool knows, read from the same tables as the text
// help and the parsing, so that completion, manual pages and configuration
// tools never scrape the prose.
#include "cli/cli_commands.h"
#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"
#include "cli/exit_codes.h"

#include <ostream>
#include <sstream>

#ifndef VARDO_VERSION
#define VARDO_VERSION "unknown"
#endif

namespace vardo::cli {

namespace {

// A text laid out for the overview as one line.
std::string oneLine(const char* text)
{
    std::string out;
    for (const char* c = text; *c; ++c)
        out += *c == '\n' ? ' ' : *c;
    return out;
}

const char* onAllText(OnAll onAll)
{
    switch (onAll) {
    case OnAll::No:
        break;
    case OnAll::PortByPort:
        return "port by port";
    case OnAll::AtOnce:
        return "at once";
    }
    return "no";
}

// The words of a usage after the command's own: KEY=CODE[+MOD]..., [COMMAND].
void argumentsJson(std::ostream& out, const std::string& usage, std::size_t ownWords)
{
    std::istringstream words(usage);
    std::string word;
    bool first = true;
    out << '[';
    for (std::size_t i = 0; words >> word; ++i) {
        if (i < ownWords || word.rfind("-", 0) == 0 || word.rfind("[-", 0) == 0 || word == "FILE]")
            continue;
        // "--from FILE": the option's value, not an argument.
        if (word == "FILE" && usage.find("--from FILE") != std::string::npos)
            continue;
        const bool repeated = word.size() > 3 && word.compare(word.size() - 3, 3, "...") == 0;
        if (repeated)
            word.erase(word.size() - 3);
        const bool optional = word.size() > 2 && word.front() == '[' && word.back() == ']';
        if (optional)
            word = word.substr(1, word.size() - 2);
        out << (first ? "" : ",") << "{\"name\":" << jsonString(word) << ",\"optional\":" << (optional ? "true" : "false")
            << ",\"repeated\":" << (repeated ? "true" : "false") << '}';
        first = false;
    }
    out << ']';
}

void commandsJson(std::ostream& out, const std::string& program)
{
    out << '[';
    bool firstCommand = true;
    for (const auto& c : commandTable()) {
        out << (firstCommand ? "" : ",") << "{\"name\":" << jsonString(c.name)
            << ",\"help\":" << jsonString(helpText(program, c.name)) << ",\"forms\":[";
        firstCommand = false;
        for (std::size_t f = 0; f < c.forms.size(); ++f) {
            const CommandForm& form = c.forms[f];
            const std::string words = std::string(c.name) + (form.sub ? std::string(" ") + form.sub : "");
            out << (f ? "," : "") << "{\"words\":" << jsonString(words) << ",\"usage\":[";
            bool firstUsage = true;
            std::string summary;
            std::string usage;
            for (const auto& s : c.synopsis) {
                const std::string u = s.usage;
                if (u != words && u.rfind(words + " ", 0) != 0)
                    continue;
                out << (firstUsage ? "" : ",") << jsonString(u);
                firstUsage = false;
                summary += (summary.empty() ? "" : "; ") + oneLine(s.summary);
                if (usage.empty())
                    usage = u;
            }
            out << "],\"summary\":" << jsonString(summary) << ",\"arguments\":";
            argumentsJson(out, usage, form.sub ? 2 : 1);
            std::vector<std::string> options;
            for (const auto& o : form.options)
                options.emplace_back(o);
            // help takes them all.
            if (c.runsAsGiven)
                for (const auto& o : optionTable())
                    options.emplace_back(o.name);
            out << ",\"options\":" << jsonStrings(options) << ",\"all\":" << jsonString(onAllText(form.onAll))
                << '}';
        }
        out << "]}";
    }
    out << ']';
}

void optionsJson(std::ostream& out)
{
    out << '[';
    bool first = true;
    for (const auto& o : optionTable()) {
        out << (first ? "" : ",") << "{\"name\":" << jsonString(o.name) << ",\"short\":"
            << (o.shortName ? jsonString(std::string(1, o.shortName)) : "null")
            << ",\"value\":" << (o.value ? jsonString(o.value) : "null") << ",\"help\":" << jsonString(oneLine(o.help))
            << ",\"everywhere\":" << (o.inOverview ? "true" : "false") << '}';
        first = false;
    }
    out << ']';
}

void layoutsJson(std::ostream& out)
{
    out << '[';
    for (int i = 0; i < codetable::kLayoutCount; ++i)
        out << (i ? "," : "") << "{\"value\":" << i << ",\"name\":" << jsonString(layoutName(i))
            << ",\"window\":" << jsonString(codetable::layoutItemText(i))
            << ",\"keys\":" << codetable::layoutKeyCount(i)
            << ",\"customised\":" << (codetable::isCustomisedLayout(i) ? "true" : "false") << '}';
    out << ']';
}

void settingsJson(std::ostream& out)
{
    out << '[';
    bool first = true;
    for (const auto& s : settingTable()) {
        out << (first ? "" : ",") << "{\"name\":" << jsonString(s.name) << ",\"range\":" << jsonString(s.range);
        first = false;
        switch (s.setting) {
        case device::Setting::LedBrightness:
            out << ",\"min\":0,\"max\":9";
            break;
        case device::Setting::BuzzerPeriod:
            out << ",\"min\":0,\"max\":9,\"numbering\":"
                << jsonString("as the window's box lists it, \"Buzzer Period -0\" to \"Buzzer Period -9\"; "
                              "the encoder keeps the period + 1 (status: buzzerPeriod)");
            break;
        case device::Setting::LedColour:
            out << ",\"aliases\":[\"color\"],\"values\":[{\"value\":0,\"name\":\"white\"}]";
            break;
        case device::Setting::Buzzer:
            out << ",\"values\":[{\"value\":0,\"name\":\"off\"},{\"value\":1,\"name\":\"on\"}]";
            break;
        case device::Setting::KeypadType:
            out << ",\"values\":";
            layoutsJson(out);
            break;
        }
        out << '}';
    }
    out << ']';
}

void keyNamesJson(std::ostream& out)
{
    const auto usages = usageNames();
    out << "\"usage_codes\":[";
    for (std::size_t code = 0; code < usages.size(); ++code)
        out << (code ? "," : "") << "{\"code\":" << code << ",\"name\":" << jsonString(usages[code])
            << ",\"key\":" << (codetable::isKeyCode(static_cast<std::uint8_t>(code)) ? "true" : "false") << '}';
    const auto modifiers = modifierNames();
    out << "],\"modifiers\":[";
    for (std::size_t i = 0; i < modifiers.size(); ++i)
        out << (i ? "," : "") << "{\"byte\":" << int(codetable::modifierByteFromIndex(static_cast<int>(i)))
            << ",\"name\":" << jsonString(modifiers[i]) << '}';
    out << "],\"keys\":{\"min\":1,\"max\":" << codetable::kMaxKeys
        << ",\"assignment\":\"KEY=CODE[+MODIFIER]\"}";
}

void exitsJson(std::ostream& out)
{
    out << '[';
    bool first = true;
    for (const auto& e : exitTable()) {
        const std::string code = e.code;
        out << (first ? "" : ",") << "{\"code\":"
            << (code.find('+') == std::string::npos ? code : jsonString(code))
            << ",\"meaning\":" << jsonString(oneLine(e.meaning)) << '}';
        first = false;
    }
    out << ']';
}

} // namespace

void printHelpJson(std::ostream& out, const std::string& program)
{
    out << "{\"program\":" << jsonString(program) << ",\"version\":" << jsonString(VARDO_VERSION)
        << ",\"commands\":";
    commandsJson(out, program);
    out << ",\"options\":";
    optionsJson(out);
    out << ",\"settings\":";
    settingsJson(out);
    out << ",\"layouts\":";
    layoutsJson(out);
    out << ',';
    keyNamesJson(out);
    out << ",\"exit_statuses\":";
    exitsJson(out);
    out << "}\n";
}

} // namespace vardo::cli
