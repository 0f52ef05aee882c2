#pragma once
// The File menu's "Encoder" entry: with more than one encoder attached, the
// operator picks which one the window serves (by USB port and serial number).
// With a single encoder the menu stays as it always was. Encoders waiting in
// their loader are listed too: choosing one upgrades it.
#include <QObject>

#include <functional>
#include <string>

class QAction;
class QMenu;

namespace vardo::ui {

class EncoderMenu : public QObject {
    Q_OBJECT
public:
    // Goes into file before `before` when the menu opens; scan runs the
    // window's Scan For Device after a choice.
    EncoderMenu(QMenu* file, QAction* before, std::function<void()> scan,
                std::function<void(const std::string& port)> upgradeLoader = {});

    // Brings the entry up to date with the bus (the File menu calls it as it opens).
    void refresh();

private:
    QMenu* file_;
    QAction* before_;
    QMenu* choices_ = nullptr;
    std::function<void()> scan_;
    std::function<void(const std::string& port)> upgradeLoader_;
};

} // namespace vardo::ui
