#pragma once
// The about box: program name, version and part number from the version
// resources, a copyright line and a short text with the maker's links.
#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;
class QTextBrowser;

class about : public QWidget {
    Q_OBJECT
public:
    explicit about(QWidget* parent = nullptr);

    // Filled from the version resources when a box loads.
    static QString versionNo;
    static QString partNo;

    void fillVersionTexts();
    // Hands exactly the clicked link's text to the desktop.
    void richTextBox1_LinkClicked(const QString& linkText);
    void onOk();

protected:
    void showEvent(QShowEvent* event) override;
    // Esc and Enter close the box, as its Close button does.
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool loaded_ = false;
    QLabel* pictureBox1 = nullptr;
    QLabel* versionLbl = nullptr;
    QLabel* partNoLbl = nullptr;
    QTextBrowser* richTextBox1 = nullptr;
    QPushButton* button2 = nullptr;
};
