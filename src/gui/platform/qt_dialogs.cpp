#include "platform/qt_dialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>
#include <QThread>
#include <QUrl>

namespace vardo::platform {

std::string toLocal8(const QString& s)
{
    QByteArray b = s.toLocal8Bit();
    return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

QString fromLocal8(const std::string& s)
{
    return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}

namespace {

// Runs f on the GUI thread and waits for it.
template <typename F>
void onGuiThread(F&& f)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(app, std::forward<F>(f), Qt::BlockingQueuedConnection);
}

QMessageBox::Icon qtIcon(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Warning: return QMessageBox::Warning;
    case MessageIcon::Question: return QMessageBox::Question;
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Error: return QMessageBox::Critical;
    }
    return QMessageBox::Warning;
}

} // namespace

QString qtFilterFrom(const std::string& filter)
{
    const QStringList parts = QString::fromStdString(filter).split('|');
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString label = parts[i];
        const QString pattern = parts[i + 1];
        entries << (label.contains(pattern) ? label : label + " (" + pattern + ")");
    }
    return entries.join(";;");
}

void QtDialogs::message(const std::string& caption, const std::string& text, MessageIcon icon)
{
    onGuiThread([&] {
        QMessageBox box(qtIcon(icon), fromLocal8(caption), fromLocal8(text), QMessageBox::Ok,
                        QApplication::activeWindow());
        box.exec();
    });
}

bool QtDialogs::question(const std::string& caption, const std::string& text)
{
    bool yes = false;
    onGuiThread([&] {
        yes = QMessageBox::question(QApplication::activeWindow(), fromLocal8(caption),
                                    fromLocal8(text), QMessageBox::Yes | QMessageBox::No)
            == QMessageBox::Yes;
    });
    return yes;
}

bool QtDialogs::questionDefaultNo(const std::string& caption, const std::string& text)
{
    bool yes = false;
    onGuiThread([&] {
        yes = QMessageBox::question(QApplication::activeWindow(), fromLocal8(caption),
                                    fromLocal8(text), QMessageBox::Yes | QMessageBox::No,
                                    QMessageBox::No)
            == QMessageBox::Yes;
    });
    return yes;
}

EditsChoice QtDialogs::applyDiscardCancel(const std::string& caption, const std::string& text)
{
    EditsChoice choice = EditsChoice::Cancel;
    onGuiThread([&] {
        QMessageBox box(QMessageBox::Question, fromLocal8(caption), fromLocal8(text),
                        QMessageBox::Apply | QMessageBox::Discard | QMessageBox::Cancel,
                        QApplication::activeWindow());
        box.setDefaultButton(QMessageBox::Apply);
        box.setEscapeButton(QMessageBox::Cancel);
        switch (box.exec()) {
        case QMessageBox::Apply: choice = EditsChoice::Apply; break;
        case QMessageBox::Discard: choice = EditsChoice::Discard; break;
        default: break;
        }
    });
    return choice;
}

std::optional<std::string> QtDialogs::openFile(const std::string& filter,
                                               const std::string& initialFolder,
                                               const std::string& initialName)
{
    std::optional<std::string> result;
    onGuiThread([&] {
        QString start = fromLocal8(initialFolder);
        if (!initialName.empty())
            start = start.isEmpty() ? fromLocal8(initialName) : start + "/" + fromLocal8(initialName);
        QString path = QFileDialog::getOpenFileName(QApplication::activeWindow(), QString(), start,
                                                    qtFilterFrom(filter));
        if (!path.isEmpty())
            result = toLocal8(path);
    });
    return result;
}

std::optional<std::string> QtDialogs::selectFolder(const std::string& description,
                                                   const std::string& initialFolder)
{
    std::optional<std::string> result;
    onGuiThread([&] {
        QString path = QFileDialog::getExistingDirectory(
            QApplication::activeWindow(), fromLocal8(description), fromLocal8(initialFolder));
        if (!path.isEmpty())
            result = toLocal8(path);
    });
    return result;
}

void QtDialogs::openUrl(const std::string& url)
{
    onGuiThread([&] { QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); });
}

} // namespace vardo::platform
