#include "mainwindow/encoder_menu.h"

#include "device/encoder_choice.h"
#include "firmware/upgrade_targets.h"

#include <QActionGroup>
#include <QMenu>

namespace vardo::ui {

EncoderMenu::EncoderMenu(QMenu* file, QAction* before, std::function<void()> scan,
                         std::function<void(const std::string& port)> upgradeLoader)
    : QObject(file), file_(file), before_(before), scan_(std::move(scan)), upgradeLoader_(std::move(upgradeLoader))
{
    connect(file_, &QMenu::aboutToShow, this, &EncoderMenu::refresh);
}

void EncoderMenu::refresh()
{
    delete choices_;
    choices_ = nullptr;
    const auto encoders = device::attachedEncoders();
    const auto loaders = firmware::attachedDevices().loaders;
    if (encoders.size() + loaders.size() < 2)
        return;
    choices_ = new QMenu(QStringLiteral("E&ncoder"), file_);
    choices_->setObjectName(QStringLiteral("encoderChoiceMenu"));
    auto* group = new QActionGroup(choices_);
    const std::string chosen = device::chosenEncoderPort();
    bool anyChecked = false;
    for (const auto& e : encoders) {
        const QString text = QString::fromStdString(e.port.empty() ? e.path : e.port) + QStringLiteral("   ")
                           + (e.serial.empty() ? QStringLiteral("-") : QString::fromLatin1(e.serial.c_str()));
        QAction* action = choices_->addAction(text);
        action->setCheckable(true);
        action->setEnabled(!e.port.empty());
        action->setChecked(!chosen.empty() && e.port == chosen);
        anyChecked = anyChecked || action->isChecked();
        group->addAction(action);
        const std::string port = e.port;
        connect(action, &QAction::triggered, this, [this, port] {
            device::chooseEncoderPort(port);
            if (scan_)
                scan_();
        });
    }
    // Not chosen to be served: it has no firmware that answers.
    for (const auto& port : loaders) {
        QAction* action = choices_->addAction(QString::fromStdString(port)
                                              + QStringLiteral("   waits in its loader: upgrade it"));
        connect(action, &QAction::triggered, this, [this, port] {
            if (upgradeLoader_)
                upgradeLoader_(port);
        });
    }
    // No choice yet, or the chosen one is gone: the window serves the first.
    if (!anyChecked && !choices_->actions().isEmpty())
        choices_->actions().first()->setChecked(true);
    file_->insertMenu(before_, choices_);
}

} // namespace vardo::ui
