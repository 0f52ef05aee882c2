#include "mainwindow/pictures.h"

#include "mainwindow/form1_widgets.h"
#include "mainwindow/version.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace vardo::ui {

void paintKeypadBadge(QPainter& p, const QRectF& area, const QColor& led)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    // Housing.
    QLinearGradient body(area.topLeft(), area.bottomLeft());
    body.setColorAt(0, QColor(70, 78, 92));
    body.setColorAt(1, QColor(34, 38, 46));
    p.setPen(QPen(QColor(20, 22, 28), area.width() / 80.0));
    p.setBrush(body);
    const double r = area.width() / 10.0;
    p.drawRoundedRect(area, r, r);

    // LED window in the top strip.
    const double strip = area.height() * 0.18;
    const QPointF ledCentre(area.right() - area.width() * 0.16, area.top() + strip * 0.55);
    const double ledR = strip * 0.28;
    QRadialGradient glow(ledCentre, ledR * 3);
    glow.setColorAt(0, led);
    glow.setColorAt(1, QColor(led.red(), led.green(), led.blue(), 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(ledCentre, ledR * 3, ledR * 3);
    p.setBrush(led.lighter(130));
    p.drawEllipse(ledCentre, ledR, ledR);

    // 4 x 4 keys.
    const QRectF keys = area.adjusted(area.width() * 0.1, strip, -area.width() * 0.1,
                                      -area.height() * 0.08);
    const double pitchX = keys.width() / 4.0;
    const double pitchY = keys.height() / 4.0;
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 4; ++col) {
            const QRectF key(keys.left() + col * pitchX + pitchX * 0.1,
                             keys.top() + row * pitchY + pitchY * 0.1, pitchX * 0.8, pitchY * 0.8);
            QLinearGradient cap(key.topLeft(), key.bottomLeft());
            cap.setColorAt(0, QColor(236, 238, 242));
            cap.setColorAt(1, QColor(180, 186, 196));
            p.setBrush(cap);
            p.setPen(QPen(QColor(90, 96, 108), 1));
            p.drawRoundedRect(key, key.width() * 0.15, key.width() * 0.15);
        }
    }
    p.restore();
}

QPixmap splashPicture()
{
    QImage image(960, 500, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient sky(0, 0, 960, 500);
    sky.setColorAt(0, QColor(10, 46, 92));
    sky.setColorAt(0.6, QColor(18, 92, 140));
    sky.setColorAt(1, QColor(40, 150, 170));
    p.fillRect(image.rect(), sky);

    // A few soft circuit traces behind the drawing.
    p.setPen(QPen(QColor(255, 255, 255, 28), 3));
    for (int i = 0; i < 9; ++i) {
        QPainterPath trace;
        const double y = 60 + i * 50;
        trace.moveTo(0, y);
        trace.lineTo(300 + i * 20, y);
        trace.lineTo(340 + i * 20, y + 30);
        trace.lineTo(960, y + 30);
        p.drawPath(trace);
        p.setBrush(QColor(255, 255, 255, 40));
        p.drawEllipse(QPointF(300 + i * 20, y), 5, 5);
        p.setBrush(Qt::NoBrush);
    }

    paintKeypadBadge(p, QRectF(90, 110, 250, 300), QColor(120, 255, 160));

    p.setPen(Qt::white);
    p.setFont(windowFont(44, true));
    p.drawText(QRectF(400, 120, 540, 70), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Vardo 710"));
    p.setFont(windowFont(24));
    p.drawText(QRectF(402, 195, 540, 44), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("USB Keyboard Encoder"));
    p.setPen(QColor(200, 236, 255));
    p.setFont(windowFont(18));
    p.drawText(QRectF(402, 250, 540, 36), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Configuration Utility"));
    p.setFont(windowFont(12));
    p.drawText(QRectF(402, 292, 540, 26), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Version ") + QString::fromStdString(version::GetString("Version")));
    p.setPen(QColor(255, 255, 255, 160));
    p.setFont(windowFont(10));
    p.drawText(QRectF(402, 440, 540, 24), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Vardo Interface"));
    p.end();
    return QPixmap::fromImage(image);
}

QPixmap aboutPicture()
{
    QImage image(434, 72, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient band(0, 0, 434, 0);
    band.setColorAt(0, QColor(10, 46, 92));
    band.setColorAt(1, QColor(40, 150, 170));
    p.fillRect(image.rect(), band);
    paintKeypadBadge(p, QRectF(14, 6, 50, 60), QColor(120, 255, 160));
    p.setPen(Qt::white);
    p.setFont(windowFont(18, true));
    p.drawText(QRectF(80, 6, 340, 36), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Vardo Interface"));
    p.setPen(QColor(200, 236, 255));
    p.setFont(windowFont(10));
    p.drawText(QRectF(82, 42, 340, 22), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("USB keyboard encoders"));
    p.end();
    return QPixmap::fromImage(image);
}

} // namespace vardo::ui
