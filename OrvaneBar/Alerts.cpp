#include "Alerts.h"

#include <QMessageBox>
#include <QString>
#include <cstdio>

namespace {

AlertPresenter& presenter() {
    static AlertPresenter current;
    return current;
}

void showModal(AlertStyle style, const std::string& title, const std::string& message) {
    QMessageBox box;
    box.setIcon(style == AlertStyle::warning ? QMessageBox::Warning : QMessageBox::Information);
    box.setText(QString::fromStdString(title));
    box.setInformativeText(QString::fromStdString(message));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

}  // namespace

void showAlert(AlertStyle style, const std::string& title, const std::string& message) {
    if (presenter()) {
        presenter()(style, title, message);
    } else {
        showModal(style, title, message);
    }
}

void showError(const std::string& title, const std::string& message) {
    showAlert(AlertStyle::warning, title, message);
}

void showInfo(const std::string& title, const std::string& message) {
    showAlert(AlertStyle::informational, title, message);
}

void setAlertPresenter(AlertPresenter newPresenter) {
    presenter() = std::move(newPresenter);
}

void printAlertToStderr(AlertStyle style, const std::string& title, const std::string& message) {
    std::fprintf(stderr, "[alert %s] %s\n%s\n",
                 style == AlertStyle::warning ? "warning" : "informational", title.c_str(),
                 message.c_str());
    std::fflush(stderr);
}
