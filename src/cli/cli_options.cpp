#include "cli/cli_options.h"

#include "cli/cli_values.h"

#include <algorithm>

namespace vardo::cli {

const std::vector<OptionInfo>& optionTable()
{
    static const std::vector<OptionInfo> table = {
        {"device", 'd', "PATH|SERIAL|PORT",
         "the encoder to use when several are attached,\n"
         "by device path, serial number or USB port\n"
         "(e.g. 1-1.3; default: the first one, as the\n"
         "window does)",
         true},
        {"all", 0, nullptr,
         "every attached encoder, port by port: status,\n"
         "set, table load, save, factory-reset, config\n"
         "apply, apply and upgrade (all at once); a\n"
         "summary table (or JSON) of each port's outcome,\n"
         "loaders and encoders that may not be opened\n"
         "included; the exit status is the worst-off\n"
         "port's (see 'help upgrade')",
         true},
        {"json", 0, nullptr,
         "machine-readable output from every command; one\n"
         "that changes something prints {\"port\": PORT,\n"
         "\"changed\": BOOL, \"sent\": [COMMAND...]}; a failure\n"
         "also as {\"error\": TEXT, \"exit\": N, \"port\": PORT or\n"
         "null, \"did_you_mean\": WORD or null}",
         true},
        {"yes", 'y', nullptr, "answer yes to questions (overwriting on export)", true},
        {"help", 'h', nullptr, "help; COMMAND --help for the help of a command", true},
        {"version", 0, nullptr, "the program's version", true},
        {"trace", 0, nullptr,
         "every USB report in and out, with a millisecond\n"
         "time, to standard error (also VARDO_TRACE=1)",
         true},
        {"from", 0, "FILE", "the configuration or backup file to read instead", false},
        {"apply", 0, nullptr, "send the imported settings to the encoder", false},
        {"check", 0, nullptr, "send nothing: say what would be sent", false},
        {"diff", 0, nullptr, "show the settings before and after", false},
        {"ram-loader", 0, "FILE", "the RAM loader text (RAM_BSL.Text)", false},
        {"password", 0, "FILE", "the loader password text, or a firmware image holding it", false},
        {"mass-erase", 0, nullptr, "consent to erasing the application without its password", false},
        {"restore", 0, "FILE", "the backup to write back after the upgrade", false},
    };
    return table;
}

namespace {

const OptionInfo* findOption(const std::string& name)
{
    for (const auto& o : optionTable())
        if ((name.size() == 2 && name[0] == '-' && o.shortName == name[1])
            || (name.rfind("--", 0) == 0 && name.substr(2) == o.name))
            return &o;
    return nullptr;
}

std::string unknownOption(const std::string& given)
{
    std::vector<std::string> known;
    for (const auto& o : optionTable())
        known.push_back(std::string("--") + o.name);
    const std::string name = given.substr(0, given.find('='));
    return "unknown option " + given + didYouMean(name, known);
}

} // namespace

bool parseOptions(const std::vector<std::string>& args, Options& o, std::string& error)
{
    bool endOfOptions = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (endOfOptions || a.empty() || a[0] != '-' || a == "-") {
            o.words.push_back(a);
            continue;
        }
        if (a == "--") {
            endOfOptions = true;
            continue;
        }
        std::string name = a;
        std::optional<std::string> inlineValue;
        if (a.rfind("--", 0) == 0) {
            if (const auto eq = a.find('='); eq != std::string::npos) {
                name = a.substr(0, eq);
                inlineValue = a.substr(eq + 1);
            }
        }
        const OptionInfo* option = findOption(name);
        if (!option) {
            error = unknownOption(a);
            return false;
        }
        const std::string longName = option->name;
        std::string value;
        if (option->value) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                error = "option " + name + " needs a value";
                return false;
            }
            if (value.empty() && longName == "device") {
                error = "option --device needs a path, serial number or port";
                return false;
            }
            if (value.empty() && longName != "from") {
                error = "option --" + longName + " needs a file";
                return false;
            }
        } else if (inlineValue) {
            error = "option " + name + " takes no value";
            return false;
        }
        // --trace, --help and --version apply to every command.
        if (longName != "trace" && longName != "help" && longName != "version")
            o.given.insert(longName);
        if (longName == "device")
            o.device = value;
        else if (longName == "from")
            o.from = value;
        else if (longName == "ram-loader")
            o.ramLoader = value;
        else if (longName == "password")
            o.password = value;
        else if (longName == "restore")
            o.restore = value;
        else
            *(longName == "all"          ? &o.all
              : longName == "json"       ? &o.json
              : longName == "yes"        ? &o.yes
              : longName == "apply"      ? &o.applyImport
              : longName == "mass-erase" ? &o.massErase
              : longName == "check"      ? &o.check
              : longName == "diff"       ? &o.diff
              : longName == "trace"      ? &o.trace
              : longName == "help"       ? &o.help
                                         : &o.version) = true;
    }
    return true;
}

} // namespace vardo::cli
