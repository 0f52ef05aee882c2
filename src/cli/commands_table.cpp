// The code table subcommands: table show, and table load from key
// assignments or from a configuration file's CodeTableValues.
#include "cli/cli_output.h"
#include "cli/cli_session.h"
#include "cli/cli_values.h"
#include "cli/exit_codes.h"
#include "config/inifile.h"
#include "config/utility_config.h"

#include <exception>
#include <optional>
#include <ostream>

namespace vardo::cli {

namespace {


// The CodeTableValues of the configuration file at path (named shown to the
// operator); nothing, with the operator's message in error, when it has none or a bad one.
std::optional<link::CodeTable> tableFromFile(const std::string& path, const std::string& shown,
                                                  std::string& error)
{
    try {
        if (!config::CIniFile::SectionExists(config::kSection, path)
            || !config::CIniFile::RecordExists("CodeTableValues", config::kSection, path)) {
            error = std::string(config::kMsgIncorrectFormat) + " '" + shown
                    + "' has no CodeTableValues in section appSettings.";
            return std::nullopt;
        }
        std::string reason;
        const auto table =
            parseCodeTableValues(config::CIniFile::GetValue("CodeTableValues", config::kSection, path), reason);
        if (!table)
            error = std::string(config::kMsgIncorrectFormat) + ' ' + reason + '.';
        return table;
    } catch (const std::exception&) {
        error = std::string(config::kMsgIncorrectFormat) + " '" + shown + "' has a section line without ']'.";
        return std::nullopt;
    }
}

} // namespace

int Session::cmdTableShow()
{
    link::DeviceStatus status;
    if (int c = openWithStatus(status, messages::kStatusFailed))
        return c;
    resultWritten_ = opt_.json;
    if (opt_.json) {
        printTableJson(con_.out, status.keypadType, status.codeTable);
    } else {
        const auto text = codetable::layoutItemText(status.keypadType);
        con_.out << "Layout: " << status.keypadType << " ("
                 << (text.empty() ? std::string("unknown") : std::string(text)) << ")\n";
        printTableText(con_.out, status.keypadType, status.codeTable);
    }
    return kExitOk;
}

int Session::cmdTableLoad()
{
    std::vector<KeyAssignment> assignments;
    for (std::size_t i = 2; i < opt_.words.size(); ++i) {
        std::string error;
        const auto a = parseKeyAssignment(opt_.words[i], error);
        if (!a)
            return usage(error);
        // Which of the two was meant cannot be known: neither is sent.
        for (std::size_t j = 2; j < i; ++j)
            if (assignments[j - 2].key == a->key)
                return usage("key " + std::to_string(a->key) + " is given twice ('" + opt_.words[j] + "' and '"
                             + opt_.words[i] + "')");
        assignments.push_back(*a);
    }
    if (opt_.from && !assignments.empty())
        return usage("'table load' takes key assignments or --from, not both");
    if (!opt_.from && assignments.empty())
        return usage("'table load' needs KEY=CODE[+MODIFIER] pairs or --from CONFIGFILE");

    link::CodeTable fromFile{};
    if (opt_.from) {
        if (int c = requireReadable(*opt_.from))
            return c;
        std::string error;
        const auto table = tableFromFile(openedPath(*opt_.from), *opt_.from, error);
        if (!table)
            return fail(kExitBadInputFile, error);
        fromFile = *table;
    }

    // As the editor: the table starts from what the encoder reports now.
    link::DeviceStatus status;
    if (int c = openWithStatus(status, messages::kTableStatusFailed, true))
        return c;
    if (!codetable::isCustomisedLayout(status.keypadType))
        return fail(kExitFailed, std::string(messages::kNotCustomised) + " The encoder's layout is "
                                     + std::to_string(status.keypadType)
                                     + "; choose 2, 5 or 8 first ('set layout').");

    link::CodeTable payload{};
    if (opt_.from) {
        payload = fromFile;
    } else {
        const int keys = codetable::layoutKeyCount(status.keypadType);
        for (int key = 1; key <= keys; ++key)
            codetable::setCodeTableEntry(payload, key, codetable::codeTableEntry(status.codeTable, key));
        for (const auto& a : assignments) {
            if (a.key > keys)
                return usage("key " + std::to_string(a.key) + " is beyond the " + std::to_string(keys)
                             + " keys of the encoder's layout");
            codetable::setCodeTableEntry(payload, a.key, a.entry);
        }
    }
    if (const auto r = encoder().loadTable(payload); r != device::Result::Ok)
        return failExchange(messages::kLoadTableFailed, r);
    sent("LOAD_CODE_TABLE");
    return kExitOk;
}

} // namespace vardo::cli
