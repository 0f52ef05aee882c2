#include "platform/dialogs.h"
#include "platform/recording_dialogs.h"

#include <atomic>

namespace vardo::platform {

namespace {

class SilentDialogs final : public Dialogs {
public:
    void message(const std::string&, const std::string&, MessageIcon) override {}
    bool question(const std::string&, const std::string&) override { return false; }
    bool questionDefaultNo(const std::string&, const std::string&) override { return false; }
    EditsChoice applyDiscardCancel(const std::string&, const std::string&) override
    {
        return EditsChoice::Cancel;
    }
    std::optional<std::string> openFile(const std::string&, const std::string&,
                                        const std::string&) override { return std::nullopt; }
    std::optional<std::string> selectFolder(const std::string&, const std::string&) override
    {
        return std::nullopt;
    }
    void openUrl(const std::string&) override {}
};

SilentDialogs g_silent;
std::atomic<Dialogs*> g_dialogs{&g_silent};

} // namespace

Dialogs& dialogs() { return *g_dialogs.load(); }
void setDialogs(Dialogs* d) { g_dialogs.store(d ? d : &g_silent); }

void RecordingDialogs::message(const std::string& caption, const std::string& text, MessageIcon icon)
{
    DialogRecord r{DialogRecord::Kind::Message, caption, text, icon};
    std::function<void(const DialogRecord&)> hook;
    {
        std::lock_guard lock(mutex_);
        records_.push_back(r);
        hook = messageHook_;
    }
    if (hook)
        hook(r);
}

bool RecordingDialogs::question(const std::string& caption, const std::string& text)
{
    std::lock_guard lock(mutex_);
    records_.push_back({DialogRecord::Kind::Question, caption, text, MessageIcon::Question});
    if (questionAnswers_.empty())
        return false;
    bool a = questionAnswers_.front();
    questionAnswers_.pop_front();
    return a;
}

bool RecordingDialogs::questionDefaultNo(const std::string& caption, const std::string& text)
{
    const bool yes = question(caption, text);
    std::lock_guard lock(mutex_);
    records_.back().defaultNo = true;
    return yes;
}

EditsChoice RecordingDialogs::applyDiscardCancel(const std::string& caption, const std::string& text)
{
    std::lock_guard lock(mutex_);
    records_.push_back({DialogRecord::Kind::ApplyDiscardCancel, caption, text, MessageIcon::Question});
    if (editsAnswers_.empty())
        return EditsChoice::Cancel;
    const EditsChoice a = editsAnswers_.front();
    editsAnswers_.pop_front();
    return a;
}

std::optional<std::string> RecordingDialogs::openFile(const std::string& filter, const std::string& initialFolder,
                                                      const std::string&)
{
    std::lock_guard lock(mutex_);
    records_.push_back({DialogRecord::Kind::OpenFile, initialFolder, filter, MessageIcon::Information});
    if (fileAnswers_.empty())
        return std::nullopt;
    auto a = fileAnswers_.front();
    fileAnswers_.pop_front();
    return a;
}

std::optional<std::string> RecordingDialogs::selectFolder(const std::string& description,
                                                          const std::string&)
{
    std::lock_guard lock(mutex_);
    records_.push_back({DialogRecord::Kind::SelectFolder, description, "", MessageIcon::Information});
    if (folderAnswers_.empty())
        return std::nullopt;
    auto a = folderAnswers_.front();
    folderAnswers_.pop_front();
    return a;
}

void RecordingDialogs::openUrl(const std::string& url)
{
    std::lock_guard lock(mutex_);
    records_.push_back({DialogRecord::Kind::OpenUrl, "", url, MessageIcon::Information});
}

void RecordingDialogs::answerQuestion(bool yes)
{
    std::lock_guard lock(mutex_);
    questionAnswers_.push_back(yes);
}

void RecordingDialogs::answerEdits(EditsChoice choice)
{
    std::lock_guard lock(mutex_);
    editsAnswers_.push_back(choice);
}

void RecordingDialogs::answerOpenFile(std::optional<std::string> path)
{
    std::lock_guard lock(mutex_);
    fileAnswers_.push_back(std::move(path));
}

void RecordingDialogs::answerSelectFolder(std::optional<std::string> folder)
{
    std::lock_guard lock(mutex_);
    folderAnswers_.push_back(std::move(folder));
}

void RecordingDialogs::onMessage(std::function<void(const DialogRecord&)> hook)
{
    std::lock_guard lock(mutex_);
    messageHook_ = std::move(hook);
}

std::vector<DialogRecord> RecordingDialogs::records() const
{
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> RecordingDialogs::messages() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : records_)
        if (r.kind == DialogRecord::Kind::Message)
            out.push_back(r.text);
    return out;
}

void RecordingDialogs::clear()
{
    std::lock_guard lock(mutex_);
    records_.clear();
}

} // namespace vardo::platform
