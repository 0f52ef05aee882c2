#include "cli/cli_options.h"

namespace vardo::cli {

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
        const auto takeValue = [&](std::string& into) {
            if (inlineValue) {
                into = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return false;
            }
            into = args[++i];
            return true;
        };
        if (name == "-d" || name == "--device") {
            if (!takeValue(o.device))
                return false;
            if (o.device.empty()) {
                error = "option --device needs a path, serial number or port";
                return false;
            }
            o.given.insert("device");
        } else if (name == "--from") {
            std::string v;
            if (!takeValue(v))
                return false;
            o.from = v;
            o.given.insert("from");
        } else if (name == "--ram-loader" || name == "--password" || name == "--restore") {
            std::string& into = name == "--password" ? o.password : name == "--restore" ? o.restore : o.ramLoader;
            if (!takeValue(into))
                return false;
            if (into.empty()) {
                error = "option " + name + " needs a file";
                return false;
            }
            o.given.insert(name.substr(2));
        } else if (inlineValue) {
            error = "option " + name + " takes no value";
            return false;
        } else if (name == "--all") {
            o.all = true;
            o.given.insert("all");
        } else if (name == "--json") {
            o.json = true;
            o.given.insert("json");
        } else if (name == "-y" || name == "--yes") {
            o.yes = true;
            o.given.insert("yes");
        } else if (name == "--apply") {
            o.applyImport = true;
            o.given.insert("apply");
        } else if (name == "--mass-erase") {
            o.massErase = true;
            o.given.insert("mass-erase");
        } else if (name == "--trace") {
            o.trace = true;  // applies to every command
        } else if (name == "-h" || name == "--help") {
            o.help = true;
        } else if (name == "--version") {
            o.version = true;
        } else {
            error = "unknown option " + a;
            return false;
        }
    }
    return true;
}

} // namespace vardo::cli
