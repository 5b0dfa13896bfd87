#include "Screenshot.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QPixmap>

#include "AppDelegate.h"
#include "StatusItem.h"

namespace {

// The icon at common tray sizes, on a dark and on a light panel.
QImage trayPicture(const QString& title) {
    const int sizes[] = {16, 22, 24, 32, 48, 64};
    const int gap = 12;
    int width = gap;
    for (int s : sizes)
        width += s + gap;
    const int rowHeight = 64 + 2 * gap;
    QImage image(width, 2 * rowHeight, QImage::Format_ARGB32);
    QPainter painter(&image);
    const QColor panels[] = {QColor(40, 40, 44), QColor(236, 236, 236)};
    for (int row = 0; row < 2; ++row) {
        painter.fillRect(0, row * rowHeight, width, rowHeight, panels[row]);
        int x = gap;
        for (int s : sizes) {
            painter.drawPixmap(x, row * rowHeight + (rowHeight - s) / 2,
                               StatusItem::renderTitle(title, s));
            x += s + gap;
        }
    }
    return image;
}

}  // namespace

bool saveScreenshots(AppDelegate& app, const QString& dir) {
    if (!QDir().mkpath(dir)) return false;
    const QString title = QString::fromStdString(app.statusItem->title());
    const bool trayOK = trayPicture(title).save(QDir(dir).filePath("tray-icon.png"));

    QMenu* menu = app.menu();
    menu->popup(QPoint(0, 0));
    QApplication::processEvents();
    const bool menuOK = menu->grab().save(QDir(dir).filePath("menu.png"));
    // Opening the menu filled the sensors' submenu.
    app.sensorMenu->popup(QPoint(0, 0));
    QApplication::processEvents();
    const bool sensorsOK = app.sensorMenu->grab().save(QDir(dir).filePath("sensors.png"));
    app.sensorMenu->hide();
    menu->hide();
    return trayOK && menuOK && sensorsOK;
}
