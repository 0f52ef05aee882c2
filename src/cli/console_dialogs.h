#pragma once
// Internal to the tool's core: the messages and questions of the shared logic,
// on the terminal.
#include "cli/cli.h"
#include "platform/dialogs.h"

namespace vardo::cli {

// Messages go to the error stream, one line each. A question is answered yes
// by --yes, else asked on an interactive input ("y", "Y", "yes", "Yes" agree) and
// declined where none is. Pickers return nothing: files come as arguments.
class ConsoleDialogs final : public platform::Dialogs {
public:
    ConsoleDialogs(Console& console, bool yes) : console_(console), yes_(yes) {}

    void message(const std::string& caption, const std::string& text, platform::MessageIcon icon) override;
    bool question(const std::string& caption, const std::string& text) override;
    // Already No unless answered yes.
    bool questionDefaultNo(const std::string& caption, const std::string& text) override;
    // The tool edits nothing interactively: never asked; Cancel.
    platform::EditsChoice applyDiscardCancel(const std::string& caption, const std::string& text) override;
    std::optional<std::string> openFile(const std::string& filter, const std::string& initialFolder,
                                        const std::string& initialName) override;
    std::optional<std::string> selectFolder(const std::string& description,
                                            const std::string& initialFolder) override;
    void openUrl(const std::string& url) override;

private:
    Console& console_;
    bool yes_;
};

} // namespace vardo::cli
