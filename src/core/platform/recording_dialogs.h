#pragma once
// A Dialogs that never opens anything: it records every call and answers
// from scripted queues (questions default to No, pickers to cancel).
#include "platform/dialogs.h"

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace vardo::platform {

struct DialogRecord {
    enum class Kind { Message, Question, ApplyDiscardCancel, OpenFile, SelectFolder, OpenUrl };
    Kind kind;
    std::string caption;   // message/question caption; picker description; open-file's folder
    std::string text;      // message/question text; picker filter; url
    MessageIcon icon = MessageIcon::Warning;
    bool defaultNo = false;   // a question whose default button is No
};

class RecordingDialogs final : public Dialogs {
public:
    void message(const std::string& caption, const std::string& text, MessageIcon icon) override;
    bool question(const std::string& caption, const std::string& text) override;
    bool questionDefaultNo(const std::string& caption, const std::string& text) override;
    EditsChoice applyDiscardCancel(const std::string& caption, const std::string& text) override;
    std::optional<std::string> openFile(const std::string& filter, const std::string& initialFolder,
                                        const std::string& initialName) override;
    std::optional<std::string> selectFolder(const std::string& description,
                                            const std::string& initialFolder) override;
    void openUrl(const std::string& url) override;

    // Scripted answers, consumed in order.
    void answerQuestion(bool yes);
    // Unscripted, applyDiscardCancel answers Cancel.
    void answerEdits(EditsChoice choice);
    void answerOpenFile(std::optional<std::string> path);
    void answerSelectFolder(std::optional<std::string> folder);
    // Called (on the calling thread) whenever a message box is shown.
    void onMessage(std::function<void(const DialogRecord&)> hook);

    std::vector<DialogRecord> records() const;
    // Texts of the message boxes only, in order.
    std::vector<std::string> messages() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<DialogRecord> records_;
    std::deque<bool> questionAnswers_;
    std::deque<EditsChoice> editsAnswers_;
    std::deque<std::optional<std::string>> fileAnswers_;
    std::deque<std::optional<std::string>> folderAnswers_;
    std::function<void(const DialogRecord&)> messageHook_;
};

} // namespace vardo::platform
