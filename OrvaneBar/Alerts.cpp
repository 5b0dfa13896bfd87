#include "Alerts.h"

#include <QMessageBox>
#include <QPushButton>
#include <QString>
#include <cstdio>

#include "Texts.h"

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

ConfirmPresenter& confirmPresenter() {
    static ConfirmPresenter current;
    return current;
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

bool confirmAction(const std::string& title, const std::string& message,
                   const std::string& actionButton) {
    if (confirmPresenter()) return confirmPresenter()(title, message, actionButton);
    QMessageBox box;
    box.setText(QString::fromStdString(title));
    box.setInformativeText(QString::fromStdString(message));
    QPushButton* action =
        box.addButton(QString::fromStdString(actionButton), QMessageBox::AcceptRole);
    box.addButton(QString::fromUtf8(Texts::cancelButton), QMessageBox::RejectRole);
    box.exec();
    return box.clickedButton() == action;
}

void setConfirmPresenter(ConfirmPresenter newPresenter) {
    confirmPresenter() = std::move(newPresenter);
}

bool printConfirmationDeclined(const std::string& title, const std::string& message,
                               const std::string& actionButton) {
    std::fprintf(stderr, "[confirm %s] %s\n%s\n", actionButton.c_str(), title.c_str(),
                 message.c_str());
    std::fflush(stderr);
    return false;
}
