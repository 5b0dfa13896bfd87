// Modal alerts: a short title as the message text and the detail as the informative
// text; warning style for failures, informational style for successes.
#pragma once

#include <functional>
#include <string>

enum class AlertStyle { warning, informational };

using AlertPresenter =
    std::function<void(AlertStyle style, const std::string& title, const std::string& message)>;

// Shows the alert through the current presenter and returns once it is dismissed.
void showAlert(AlertStyle style, const std::string& title, const std::string& message);
void showError(const std::string& title, const std::string& message);
void showInfo(const std::string& title, const std::string& message);

// Replaces the presenter; an empty one restores the modal dialog. Unattended runs
// (tests, `--print-alerts`) use this, since nobody would dismiss a dialog there.
void setAlertPresenter(AlertPresenter presenter);

// A presenter that writes "[alert] <title>" and the message to standard error.
void printAlertToStderr(AlertStyle style, const std::string& title, const std::string& message);

// Confirmations: a modal alert with the action as first button and "取消" second; true
// when the first button was chosen.
using ConfirmPresenter = std::function<bool(const std::string& title, const std::string& message,
                                            const std::string& actionButton)>;
bool confirmAction(const std::string& title, const std::string& message,
                   const std::string& actionButton);
// Replaces the confirmation presenter; an empty one restores the modal dialog.
void setConfirmPresenter(ConfirmPresenter presenter);
// Writes "[confirm] <title>" and the message to standard error and declines: an
// unattended run has nobody to answer.
bool printConfirmationDeclined(const std::string& title, const std::string& message,
                               const std::string& actionButton);
