#pragma once
// The start-up picture. It closes itself 3000 ms after it was created.
#include <QWidget>

class QLabel;
class QTimer;

class vardo_splash_form : public QWidget {
    Q_OBJECT
public:
    explicit vardo_splash_form(QWidget* parent = nullptr);

    // The first tick of timer1 closes the window.
    void onShownLongEnough();
    QTimer* timer() const { return timer1; }

signals:
    // The window has closed (by its timer or otherwise).
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QLabel* pictureBox1 = nullptr;
    QTimer* timer1 = nullptr;
};
