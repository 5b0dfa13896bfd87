#include "StatusItem.h"

#include <QCursor>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QSystemTrayIcon>
#include <algorithm>

#include "TrayHost.h"

#ifdef Q_OS_MACOS
#include "MacStatusItem.h"

StatusItem::StatusItem(QObject* parent)
    : QObject(parent), hostedOverDBus_(false), mac_(std::make_unique<MacStatusItem>()) {}
#else
// The host test comes first: the tray icon makes the same test as it is created.
StatusItem::StatusItem(QObject* parent)
    : QObject(parent), hostedOverDBus_(trayHostedOverDBus()), tray_(new QSystemTrayIcon(this)) {
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger) openMenuAtClick();
    });
}
#endif

StatusItem::~StatusItem() = default;

// A host that draws the menu itself opens it on the context click only, and reports the
// left click without its position: the application's own drawing of the same menu opens
// where the pointer is. Under Wayland the application knows neither the pointer nor where
// its popup goes, and the compositor places the menu.
void StatusItem::openMenuAtClick() {
    if (menu_ == nullptr) return;
    if (platformKnowsPointer()) {
        menu_->popup(QCursor::pos());
        return;
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    menu_->popup(screen != nullptr ? screen->availableGeometry().center() : QPoint());
}

void StatusItem::setTitle(const std::string& text) {
    if (renders_ > 0 && text == title_) return;
    title_ = text;
    ++renders_;
#ifdef Q_OS_MACOS
    mac_->setTitle(text);
#else
    const QString label = QString::fromStdString(text);
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(renderTitle(label, size));
    tray_->setIcon(icon);
#endif
}

#ifdef Q_OS_MACOS
void StatusItem::setToolTip(const std::string& text) {
    toolTip_ = text;
    mac_->setToolTip(text);
}

QString StatusItem::toolTip() const {
    return QString::fromStdString(toolTip_);
}

void StatusItem::setMenu(QMenu* menu) {
    menu_ = menu;
    mac_->setMenu(menu);
}

void StatusItem::show() {
    mac_->setVisible(true);
}

QIcon StatusItem::icon() const {
    return {};
}
#else
void StatusItem::setToolTip(const std::string& text) {
    tray_->setToolTip(QString::fromStdString(text));
}

QString StatusItem::toolTip() const {
    return tray_->toolTip();
}

void StatusItem::setMenu(QMenu* menu) {
    menu_ = menu;
    tray_->setContextMenu(menu);
}

void StatusItem::show() {
    tray_->show();
}

QIcon StatusItem::icon() const {
    return tray_->icon();
}
#endif

QPixmap StatusItem::renderTitle(const QString& text, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    const qreal s = size;
    QPainterPath badge;
    badge.addRoundedRect(QRectF(0, s * 0.14, s, s * 0.72), s * 0.18, s * 0.18);
    painter.fillPath(badge, QColor(28, 28, 30, 235));

    // As large as the badge allows: the text fills its height, and a wide text is first
    // narrowed (down to 70 %) and only then made smaller.
    QFont font;
    font.setWeight(QFont::Bold);
    font.setPixelSize(std::max(6, static_cast<int>(s * 0.56)));
    const qreal room = s * 0.94;
    qreal width = QFontMetricsF(font).horizontalAdvance(text);
    qreal squeeze = 1;
    if (width > room) squeeze = std::max<qreal>(0.7, room / width);
    while (width * squeeze > room && font.pixelSize() > 6) {
        font.setPixelSize(font.pixelSize() - 1);
        width = QFontMetricsF(font).horizontalAdvance(text);
    }

    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.translate(s / 2, s / 2);
    painter.scale(squeeze, 1);
    const QRectF box(-s / (2 * squeeze), -s / 2, s / squeeze, s);
    painter.drawText(box, Qt::AlignCenter, text);
    return pixmap;
}
