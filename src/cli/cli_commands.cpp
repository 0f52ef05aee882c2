// The tool's commands: their help texts and the table that gives, for each,
// its forms, options, word counts, handler and how it runs under --all.
#include "cli/cli_commands.h"

#include "cli/cli_session.h"
#include "cli/exit_codes.h"

#include <algorithm>

namespace vardo::cli {

namespace {

// The overview between its generated parts: the commands (their synopses),
// the options (optionTable) and the exit statuses (exitTable).
const char* const kOverviewHead = R"(Usage: %P [--device PATH|SERIAL|PORT | --all] COMMAND [ARGUMENTS] [OPTIONS]

Configures a Vardo 710 / 710i USB keyboard encoder from the command line.

Commands:
)";

const char* const kOverviewMiddle = R"(
Results go to standard output, messages to standard error. A FILE (or
IMAGE.txt) to read may be '-': standard input. 'help --json' describes the
commands, options, settings, key names and exit statuses for scripts.

Exit status:
)";

const char* const kOverviewTail = R"(
Configuration file: $XDG_DATA_HOME/VardoInterface/USBUtilityCfg.ini
(~/.local/share/VardoInterface/USBUtilityCfg.ini when XDG_DATA_HOME is unset).
)";

const char* const kHelpStatus = R"(Usage: %P status [--json] [--device PATH|SERIAL|PORT]

Reads the encoder's status (GET_STATUS) and shows its USB port, serial number,
path, model, firmware version, options, keypad layout, LED brightness and
colour, buzzer, buzzer period and the code table of its layout. --json prints
one JSON object instead ("period" numbered as the window's box, "buzzerPeriod"
as the encoder keeps it).
)";

const char* const kHelpSet = R"(Usage: %P set SETTING VALUE [--device PATH|SERIAL|PORT]

Changes one setting of the encoder at once, as the main window's boxes do.
The setting is live but not kept over a power cycle until 'save'.

  brightness 0-9        SET_LED_BRIGHTNESS with the level
  colour 0|white        SET_LED_COLOUR (white is the only colour)
  buzzer off|on|0|1     SET_BUZZER
  period 0-9            SET_BUZZER_PERIOD with the period + 1, as the
                        "Buzzer Period -N" box sends it
  layout 0-8|TEXT       SET_KEYPAD_TYPE; TEXT is the layout's name as listed
                        below ("12W Calculator") or as the window shows it
                        ("16W  Customised Table"); letter case and spacing free

Layouts: 0 4W Function Key, 1 4W Arrow Key, 2 4W Customised, 3 12W Telephone,
4 12W Calculator, 5 12W Customised, 6 16W Telephone, 7 16W Calculator,
8 16W Customised.
)";

const char* const kHelpTable = R"(Usage: %P table show [--json]
       %P table load KEY=CODE[+MODIFIER]...
       %P table load --from CONFIGFILE

show  prints the code table of the encoder's current layout, one key a line.
load  sends a new table (LOAD_CODE_TABLE) for a customised layout (2, 5 or 8).
      The keys not named keep their current codes; the bytes past the layout's
      keys are sent as zero, as the code table editor does.
      KEY is 1-16. CODE is a usage code 0-255 (decimal or 0x hex) or its name
      in the usage list (a, Enter, F1, KeypadPlus, ...); a plain number is a
      code, so the digit keys go by code (0x1E is "1"). MODIFIER is None,
      LeftCtrl, LeftShift, LeftAlt, LeftGui, RightCtrl, RightShift, RightAlt,
      RightGui or its byte 0xE0-0xE7.
      Example: %P table load 1=0x1E 2=0x04+LeftShift 3=Enter
--from CONFIGFILE sends the 32 bytes of the file's CodeTableValues unchanged;
'-' reads the file from standard input.
)";

const char* const kHelpSave = R"(Usage: %P save [--device PATH|SERIAL|PORT]

As "Save Changes": sends WRITE_DEFAULTS so that the encoder keeps its current
settings over a power cycle, then reads its status and records the settings in
the configuration file.
)";

const char* const kHelpFactoryReset = R"(Usage: %P factory-reset [--device PATH|SERIAL|PORT] [--yes]

Asks first (on a terminal; --yes answers it), then sends FACTORY_RESET, waits
3000 ms for the encoder to restart, opens it again and reads its status. The
configuration file is not changed.
)";

const char* const kHelpConfig = R"(Usage: %P config export FOLDER [--yes]
       %P config import FILE [--apply [--device PATH|SERIAL|PORT]]
       %P config apply [--from FILE] [--device PATH|SERIAL|PORT]

export  copies the configuration file into FOLDER as USBUtilityCfg.ini; an
        existing file there is overwritten only with --yes (or when answered
        yes on a terminal).
import  replaces the configuration file with FILE after the window's checks
        of its content: section appSettings with all nine keys, each value as
        'config apply' would take it. FILE may have any name (a backup written
        before an upgrade imports as it is; the window takes only files named
        USBUtilityCfg.ini); the replaced file is kept beside it. FILE '-' reads
        it from standard input. Nothing is sent to the encoder unless --apply
        is given: then the imported settings are sent as 'config apply' does.
apply   sends the saved settings to the encoder in the window's order:
        SET_KEYPAD_TYPE, LOAD_CODE_TABLE (customised layouts only),
        SET_LED_BRIGHTNESS, SET_LED_COLOUR, SET_BUZZER, SET_BUZZER_PERIOD, then
        reads the status. No WRITE_DEFAULTS: use 'save' to keep them. Every
        value is checked first; a missing or bad file sends nothing.
        --from FILE sends a backup file (such as the one written before a
        firmware upgrade) instead of the configuration file; '-' reads it
        from standard input.
)";

const char* const kHelpApply = R"(Usage: %P apply STATE.json [--check] [--diff] [--json] [--device PATH|SERIAL|PORT | --all]

Brings the encoder to the state the JSON file describes, sending only what
differs, in the window's order: SET_KEYPAD_TYPE, LOAD_CODE_TABLE,
SET_LED_BRIGHTNESS, SET_LED_COLOUR, SET_BUZZER, SET_BUZZER_PERIOD, then
WRITE_DEFAULTS with "keep". It reads the status first and again at the end to
check. A second run sends nothing. Members left out are left as they are:

  layout       0-8 or a layout's name ("16W Customised"), as 'set layout'
  code_table   {"1": "0x1E", "2": "a+LeftShift", "3": "Enter"}: KEY: CODE[+MODIFIER]
               as 'table load' takes them, for layouts 2, 5 and 8; keys not
               named keep their codes
  brightness   0-9
  colour       0 or "white"
  buzzer       true or false (or "on", "off", 0, 1)
  period       0-9, as the window's "Buzzer Period -N" box numbers it
  keep         true: make them the power-up defaults and record them in the
               configuration file (as 'save'); the encoder cannot be asked for
               its power-up defaults, so this is skipped only when nothing was
               sent and the configuration file records the encoder's settings

--check sends nothing and says what would be sent; --diff shows the members
before and after. The output says what was sent ("Nothing to change." when
nothing); --json: {"port": PORT, "changed": BOOL, "check": BOOL, "sent": [...],
"before": {...}, "after": {...}} (before and after with --diff). A bad file
sends nothing (exit 7). STATE.json '-' reads standard input.
)";

const char* const kHelpUpgrade = R"(Usage: %P upgrade IMAGE.txt [--yes] [--device PATH|SERIAL|PORT | --all [--json]]
                 [--ram-loader FILE] [--password FILE] [--mass-erase] [--restore FILE]

Replaces the encoder's firmware with a TI-TXT image: reads the settings, saves
them to a timestamped backup file beside the configuration file, switches the
encoder into its bootstrap loader, erases, programs and verifies the image,
restarts the encoder, waits 6000 ms and writes the settings back (SET_OPTIONS,
SET_BUZZER, SET_BUZZER_PERIOD, SET_KEYPAD_TYPE, LOAD_CODE_TABLE,
SET_LED_BRIGHTNESS, WRITE_DEFAULTS). Asks for confirmation on a terminal;
--yes confirms in scripts. Progress goes to standard output: a bar on a
terminal, "NN% text" lines otherwise. The encoder's loader is found on the
encoder's own USB port.

An encoder waiting in its loader ('list' shows it, with this command) is
recovered by its port: --device PORT. Its password is unknown there, so the
loader erases the whole application first (a mass erase, which loses nothing
where the application does not run: the upgrade's question, or --yes, is all
it asks), and the newest backup recorded for that port or serial is written
back after the restart. --restore FILE names the backup to write back (after
an ordinary upgrade too, instead of the settings read). Without --device a
loader is upgraded only when it is the one device attached; with a loader and
any other device the upgrade refuses and names them.

From ENTER_BSL to the end of the write-back, SIGINT (Ctrl+C), SIGTERM and
SIGHUP do not stop the upgrade, which would leave the encoder without firmware
or settings: the first one says so and about how long the upgrade still takes,
and the program exits with 128 + the signal once it is over (or with the
upgrade's own failure status). Before ENTER_BSL a signal stops it with nothing
changed on the encoder.

With --all every attached encoder is upgraded at the same time, each with its
own loader, backup file and write-back: one progress line per port, each
port's backup file named as soon as it is written, then a table of each
port's outcome (--json: as JSON, progress on standard error). One encoder's
failure stops none of the others. Each failed port's reason follows the table
(JSON: "messages"), with the command that recovers it ("recover"). The exit
status is that of the port left worst off: in its loader, then flashed without
its settings, then refused or timed out, then untouched (not the largest code).

The image is read once, before anything is sent (a pipe will do; '-' reads
standard input, and then only --yes confirms). The loader needs two texts:
the RAM loader "RAM_BSL.Text" and the password "password.Text" (the vector
table of the firmware the encoder runs now), taken from --ram-loader and
--password or else from the user's ~/.local/share/VardoInterface/loader/ and
then the system's loader folder.
--password may name a whole firmware image: its 0xFFE0-0xFFFF is the password.
Without a RAM loader nothing is done (exit 7); without a password the loader
erases the whole application first, which needs its own consent: --mass-erase
(or an answer on a terminal); --yes does not give it.
)";

const char* const kHelpKeys = R"(Usage: %P keys [--device PATH|SERIAL|PORT]

Puts the encoder into self-test mode and prints the number (1-16) of each key
pressed, one a line, until interrupted (Ctrl+C, or the terminal closes), the
reader of its output goes away ('keys | head -1') or the encoder ends the
test; then ends self-test mode.
)";

const char* const kHelpList = R"(Usage: %P list [--json]

Lists every encoder (command interface) and every encoder waiting in its
bootstrap loader: USB port, kind (encoder or loader), model and firmware (as
the encoder reports them; - when it does not answer), serial number and path,
and for an encoder it could not read, why (PROBLEM: permission denied, no
reply, ...; "problem" in JSON, null otherwise). A loader with no encoder on
its port is an encoder stuck in its loader: MODEL says so, and the command
that recovers it follows the table ("recover" in JSON, null otherwise).
Use a port, serial number or path with --device to pick one encoder; the port
stays the same when the encoder restarts or becomes a loader.
)";

const char* const kHelpHelp = R"(Usage: %P help [COMMAND]

Shows the overview, or the help of COMMAND.
)";

std::string withProgram(const char* text, const std::string& program)
{
    std::string out = text;
    for (std::size_t at = out.find("%P"); at != std::string::npos; at = out.find("%P", at)) {
        out.replace(at, 2, program);
        at += program.size();
    }
    return out;
}

// "  usage" with text beside it from column 31, or below it when the usage is
// too long; text's further lines start at column 31 too.
std::string overviewEntry(const std::string& usage, const std::string& text)
{
    constexpr std::size_t kColumn = 31;
    std::string line = "  " + usage;
    line += line.size() + 2 <= kColumn ? std::string(kColumn - line.size(), ' ') : "\n" + std::string(kColumn, ' ');
    for (char c : text)
        line += c == '\n' ? "\n" + std::string(kColumn, ' ') : std::string(1, c);
    return line + "\n";
}

std::string overview()
{
    std::string text = kOverviewHead;
    for (const auto& command : commandTable())
        for (const auto& s : command.synopsis)
            text += overviewEntry(s.usage, s.summary);
    text += "\nOptions:\n";
    for (const auto& o : optionTable()) {
        if (!o.inOverview)
            continue;
        const std::string shortName = o.shortName ? std::string("-") + o.shortName + ", " : "    ";
        text += overviewEntry(shortName + "--" + o.name + (o.value ? std::string(" ") + o.value : ""), o.help);
    }
    text += kOverviewMiddle;
    for (const auto& e : exitTable()) {
        text += std::string("  ") + e.code + "  ";
        for (const char* c = e.meaning; *c; ++c)
            text += *c == '\n' ? std::string("\n     ") : std::string(1, *c);
        text += '\n';
    }
    return text + kOverviewTail;
}

} // namespace

bool CommandForm::takes(std::string_view option) const
{
    return std::find(options.begin(), options.end(), option) != options.end();
}

const CommandForm* Command::form(const std::string& second) const
{
    if (!hasSubs())
        return &forms.front();
    for (const auto& f : forms)
        if (second == f.sub)
            return &f;
    return nullptr;
}

std::string Command::subList(bool quoted) const
{
    const std::string quote = quoted ? "'" : "";
    std::string list;
    for (std::size_t i = 0; i < forms.size(); ++i)
        list += (i == 0 ? "" : i + 1 < forms.size() ? ", " : " or ") + quote + forms[i].sub + quote;
    return list;
}

const std::vector<Command>& commandTable()
{
    using S = Session;
    constexpr OnAll kNo = OnAll::No;
    constexpr OnAll kEach = OnAll::PortByPort;
    // sub, options, words min-max and the error for others, handler, --all, its handler under --all
    static const std::vector<Command> table = {
        {"status", kHelpStatus, {{"status", "model, firmware, layout, settings and code table"}},
         {{nullptr, {"device", "json"}, 1, 1, "'status' takes no arguments", &S::cmdStatus, kEach}}},
        {"set", kHelpSet, {{"set SETTING VALUE", "change one setting at once: brightness, colour,\nbuzzer, period or layout"}},
         {{nullptr, {"device", "json"}, 3, 3, "'set' needs a setting and a value, e.g. 'set brightness 6'",
           &S::cmdSet, kEach}}},
        {"table", kHelpTable,
         {{"table show", "the code table of the current layout"},
          {"table load KEY=CODE[+MOD]...", "load a customised code table"},
          {"table load --from FILE", "load the CodeTableValues of a configuration file"}},
         {{"show", {"device", "json"}, 2, 2, "'table show' takes no arguments", &S::cmdTableShow, kNo},
          // Its words are key assignments, checked one by one.
          {"load", {"device", "from", "json"}, 0, 0, nullptr, &S::cmdTableLoad, kEach}}},
        {"save", kHelpSave, {{"save", "make the encoder keep its settings and record\nthem in the configuration file"}},
         {{nullptr, {"device", "json"}, 1, 1, "'save' takes no arguments", &S::cmdSave, kEach}}},
        {"factory-reset", kHelpFactoryReset, {{"factory-reset", "restore the encoder's factory defaults"}},
         {{nullptr, {"device", "yes", "json"}, 1, 1, "'factory-reset' takes no arguments", &S::cmdFactoryReset,
           kEach}}},
        {"config", kHelpConfig,
         {{"config export FOLDER", "copy the configuration file into FOLDER"},
          {"config import FILE", "replace the configuration file with FILE"},
          {"config apply [--from FILE]", "send the saved settings back to the encoder"}},
         {{"export", {"yes", "json"}, 3, 3, "'config export' needs one folder", &S::cmdConfigExport, kNo},
          {"import", {"yes", "apply", "device", "json"}, 3, 3, "'config import' needs one file",
           &S::cmdConfigImport, kNo},
          {"apply", {"device", "from", "json"}, 2, 2,
           "'config apply' takes no arguments (use --from FILE for a backup)", &S::cmdConfigApply, kEach}}},
        {"apply", kHelpApply,
         {{"apply STATE.json", "bring the encoder to a desired state, sending\nonly what differs (--check, --diff)"}},
         {{nullptr, {"device", "json", "check", "diff"}, 2, 2, "'apply' needs one state file (JSON)", &S::cmdApply,
           kEach}}},
        {"upgrade", kHelpUpgrade, {{"upgrade IMAGE.txt", "replace the firmware, then write the settings back"}},
         {{nullptr, {"device", "yes", "mass-erase", "ram-loader", "password", "restore", "json"}, 2, 2,
           "'upgrade' needs one firmware image file (TI-TXT)", &S::cmdUpgrade, OnAll::AtOnce, &S::upgradeAll}}},
        {"keys", kHelpKeys, {{"keys", "report key presses until interrupted (Ctrl+C)"}},
         {{nullptr, {"device", "json"}, 1, 1, "'keys' takes no arguments", &S::cmdKeys, kNo}}},
        {"list", kHelpList, {{"list", "every encoder and loader on the bus"}},
         {{nullptr, {"json"}, 1, 1, "'list' takes no arguments", &S::cmdList, kNo}}},
        {"help", kHelpHelp, {{"help [COMMAND]", "this text, or the help of a command"}},
         {{nullptr, {}, 0, 0, nullptr, &S::cmdHelp, kNo}}, true},
    };
    return table;
}

const Command* findCommand(std::string_view name)
{
    const auto& table = commandTable();
    const auto it = std::find_if(table.begin(), table.end(), [&](const Command& c) { return name == c.name; });
    return it == table.end() ? nullptr : &*it;
}

std::string helpText(const std::string& program, const std::string& command)
{
    if (command.empty())
        return withProgram(overview().c_str(), program);
    const Command* found = findCommand(command);
    return found ? withProgram(found->help, program) : std::string{};
}

} // namespace vardo::cli
