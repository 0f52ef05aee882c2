#include "mainwindow/about.h"

#include "mainwindow/form1_widgets.h"
#include "mainwindow/pictures.h"
#include "mainwindow/version.h"
#include "platform/dialogs.h"

#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>

QString about::versionNo;
QString about::partNo;

namespace {

constexpr const char* kWebLink = "https://www.vardo-interface.example";
constexpr const char* kMailLink = "mailto:support@vardo-interface.example";

// Each link's target is its visible text, so a click hands over exactly that text.
QString informationText()
{
    const QString web = QString::fromLatin1(kWebLink);
    const QString mail = QString::fromLatin1(kMailLink);
    return QStringLiteral(
               "<p style='margin:0'>This software works with the Vardo 710 and Vardo 710i USB "
               "keyboard encoders.</p>"
               "<p style='margin:0'>Copyright &copy; 2026 Vardo Interface.</p>"
               "<p style='margin:0'>Please visit our web site for more products and information:</p>"
               "<p style='margin:0'><a href='%1'>%1</a></p>"
               "<p style='margin:0'>Support: <a href='%2'>%2</a></p>")
        .arg(web, mail);
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry,
                  double pointSize = 8.25, bool bold = false)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setFont(vardo::ui::windowFont(pointSize, bold));
    label->setGeometry(geometry);
    return label;
}

} // namespace

about::about(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("about"));
    setWindowTitle(QStringLiteral("About USB Configuration Utility"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowCloseButtonHint);
    setFixedSize(458, 373);
    setFont(vardo::ui::windowFont(8.25));

    pictureBox1 = new QLabel(this);
    pictureBox1->setObjectName(QStringLiteral("pictureBox1"));
    const QPixmap picture = vardo::ui::aboutPicture();
    pictureBox1->setPixmap(picture);
    pictureBox1->setGeometry(12, 12, picture.width(), picture.height());

    auto* lineShape1 = new QFrame(this);
    lineShape1->setObjectName(QStringLiteral("lineShape1"));
    lineShape1->setFrameShape(QFrame::HLine);
    lineShape1->setFrameShadow(QFrame::Sunken);
    lineShape1->setGeometry(12, 94, 434, 4);

    makeLabel(this, "label1", QStringLiteral("USB Configuration Utility"), {20, 106, 418, 22}, 12, true);
    versionLbl = makeLabel(this, "versionLbl", QStringLiteral("Version "), {20, 134, 418, 18}, 9);
    makeLabel(this, "label3", QStringLiteral("Part No "), {20, 156, 60, 18}, 9);
    partNoLbl = makeLabel(this, "partNoLbl", QString(), {80, 156, 200, 18}, 9);
    makeLabel(this, "label2", QStringLiteral("Copyright \u00A9 2026 Vardo Interface. All rights reserved."),
              {20, 178, 418, 18}, 9);

    richTextBox1 = new QTextBrowser(this);
    richTextBox1->setObjectName(QStringLiteral("richTextBox1"));
    richTextBox1->setGeometry(20, 206, 418, 111);
    richTextBox1->setOpenLinks(false);
    richTextBox1->setOpenExternalLinks(false);
    richTextBox1->setFont(vardo::ui::windowFont(9));
    QPalette menu = richTextBox1->palette();
    menu.setColor(QPalette::Base, palette().color(QPalette::Window));
    richTextBox1->setPalette(menu);
    richTextBox1->setHtml(informationText());
    richTextBox1->setAccessibleName(QStringLiteral("Product and support information"));
    connect(richTextBox1, &QTextBrowser::anchorClicked, this,
            [this](const QUrl& url) { richTextBox1_LinkClicked(url.toString()); });

    button2 = new QPushButton(QStringLiteral("Close"), this);
    button2->setObjectName(QStringLiteral("button2"));
    button2->setGeometry(363, 333, 75, 26);
    button2->setAccessibleName(QStringLiteral("Close"));
    button2->setAutoDefault(true);
    button2->setDefault(true);
    connect(button2, &QPushButton::clicked, this, &about::onOk);
}

void about::showEvent(QShowEvent* event)
{
    if (!loaded_) {
        loaded_ = true;
        fillVersionTexts();
    }
    QWidget::showEvent(event);
}

void about::fillVersionTexts()
{
    versionNo = QString::fromStdString(version::GetString("Version"));
    partNo = QString::fromStdString(version::GetString("Part_Number"));
    versionLbl->setText(QStringLiteral("Version ") + versionNo);
    partNoLbl->setText(partNo);
}

void about::richTextBox1_LinkClicked(const QString& linkText)
{
    vardo::platform::dialogs().openUrl(linkText.toStdString());
}

void about::onOk() { close(); }

void about::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        onOk();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}
