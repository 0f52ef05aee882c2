#pragma once
// Every message box, question, file or folder picker and link opening goes
// through this interface. Windows use the Qt implementation; tests install a
// RecordingDialogs. The interface itself is Qt-free so logic can report through it.
#include <optional>
#include <string>

namespace vardo::platform {

enum class MessageIcon { Warning, Question, Information, Error };

// The answer to a question about edits not yet applied.
enum class EditsChoice { Apply, Discard, Cancel };

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Modal box with one OK button. Blocks until dismissed. Safe from any thread.
    virtual void message(const std::string& caption, const std::string& text,
                         MessageIcon icon = MessageIcon::Warning) = 0;
    // Modal Yes/No question with the question icon; true for Yes.
    virtual bool question(const std::string& caption, const std::string& text) = 0;
    // The same with No as the default button (Enter answers No), before what
    // cannot be undone.
    virtual bool questionDefaultNo(const std::string& caption, const std::string& text) = 0;
    // Modal question with Apply, Discard and Cancel (Apply the default button,
    // Esc cancels) about edits that would otherwise be lost.
    virtual EditsChoice applyDiscardCancel(const std::string& caption, const std::string& text) = 0;
    // File-open dialog. filter uses the "Label|*.ext|Label|*.ext" form.
    // Returns the chosen path, or nothing when cancelled.
    virtual std::optional<std::string> openFile(const std::string& filter,
                                                const std::string& initialFolder,
                                                const std::string& initialName) = 0;
    // Folder picker; the chosen folder, or nothing when cancelled.
    virtual std::optional<std::string> selectFolder(const std::string& description,
                                                    const std::string& initialFolder) = 0;
    // Hands a link to the desktop's default handler.
    virtual void openUrl(const std::string& url) = 0;
};

// The dialogs in force. Before setDialogs is called this is a silent
// implementation that answers No / Cancel and records nothing.
Dialogs& dialogs();
// Installs d (not owned); nullptr restores the silent default.
void setDialogs(Dialogs* d);

class ScopedDialogs {
public:
    explicit ScopedDialogs(Dialogs& d) { setDialogs(&d); }
    ~ScopedDialogs() { setDialogs(nullptr); }
    ScopedDialogs(const ScopedDialogs&) = delete;
    ScopedDialogs& operator=(const ScopedDialogs&) = delete;
};

} // namespace vardo::platform
