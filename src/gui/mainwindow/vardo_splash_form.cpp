#include "mainwindow/vardo_splash_form.h"

#include "mainwindow/pictures.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>

vardo_splash_form::vardo_splash_form(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("vardo_splash_form"));
    setFixedSize(962, 511);
    // The strips the picture leaves uncovered blend with its colours.
    QPalette background = palette();
    background.setColor(QPalette::Window, QColor(16, 80, 124));
    setPalette(background);
    setAutoFillBackground(true);

    // The picture sits 2 px left of and 18 px above the client area, as designed.
    pictureBox1 = new QLabel(this);
    pictureBox1->setObjectName(QStringLiteral("pictureBox1"));
    pictureBox1->setScaledContents(true);
    pictureBox1->setPixmap(vardo::ui::splashPicture());
    pictureBox1->setGeometry(-2, -18, 960, 500);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    timer1 = new QTimer(this);
    timer1->setObjectName(QStringLiteral("timer1"));
    timer1->setSingleShot(true);
    timer1->setInterval(3000);
    connect(timer1, &QTimer::timeout, this, &vardo_splash_form::onShownLongEnough);
    timer1->start();
}

void vardo_splash_form::onShownLongEnough()
{
    timer1->stop();
    close();
}

void vardo_splash_form::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    if (event->isAccepted())
        emit closed();
}
