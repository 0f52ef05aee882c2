#include "cli/cli.h"

#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/cli_session.h"
#include "cli/console_dialogs.h"
#include "cli/exit_codes.h"
#include "config/utility_config.h"
#include "platform/dialogs.h"
#include "platform/hid_trace.h"

#include <algorithm>
#include <ostream>

namespace vardo::cli {

int runCli(const std::vector<std::string>& args, Console& console)
{
    Options options;
    std::string error;
    if (!parseOptions(args, options, error)) {
        console.err << console.programName << ": " << error << '\n'
                    << "Try '" << console.programName << " --help'.\n";
        // The line could not be read, but a script that asked for JSON gets it.
        const auto end = std::find(args.begin(), args.end(), "--");
        if (std::find(args.begin(), end, "--json") != end)
            printFailureJson(console.out, error, kExitUsage, "");
        return kExitUsage;
    }
    if (options.trace)
        platform::enableHidTrace(true);
    platform::Dialogs& previous = platform::dialogs();
    ConsoleDialogs dialogs(console, options.yes);
    platform::setDialogs(&dialogs);
    int code = kExitOk;
    {
        Session session(console, std::move(options), config::configFilePath());
        code = session.run();
    }
    platform::setDialogs(&previous);
    return code;
}

} // namespace vardo::cli
