#pragma once
// The production Dialogs: QMessageBox, QFileDialog and QDesktopServices.
// Calls from a worker thread are carried to the GUI thread and block until
// the operator has answered.
#include "platform/dialogs.h"

class QString;
class QByteArray;

namespace vardo::platform {

class QtDialogs final : public Dialogs {
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
};

// "Label|*.ext|Label|*.ext" to Qt's "Label (*.ext);;Label (*.ext)".
QString qtFilterFrom(const std::string& filter);

// Between the GUI's text and the 8-bit text of files and libraries (the locale's encoding).
std::string toLocal8(const QString& s);
QString fromLocal8(const std::string& s);

} // namespace vardo::platform
