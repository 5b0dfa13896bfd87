#include "TempThresholdDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>
#include <optional>

#include "Alerts.h"
#include "BoostController.h"
#include "Formatting.h"
#include "SettingsKeys.h"
#include "TempBoost.h"
#include "Texts.h"

namespace {

// The accessory layout is given with the origin at the lower left and y upwards; Qt places
// children from the top left.
QRect frame(int x, int y, int w, int h) {
    return QRect(x, TempThresholdDialog::accessoryHeight - y - h, w, h);
}

QLabel* label(const char* text, QRect geometry, QWidget* parent) {
    auto* result = new QLabel(QString::fromUtf8(text), parent);
    result->setGeometry(geometry);
    return result;
}

QLineEdit* field(const std::string& text, QRect geometry, QWidget* parent) {
    auto* result = new QLineEdit(QString::fromStdString(text), parent);
    result->setGeometry(geometry);
    result->setAlignment(Qt::AlignCenter);
    return result;
}

}  // namespace

TempThresholdDialog::TempThresholdDialog(const std::string& startText, const std::string& fullText,
                                         QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(Texts::tempDialogMessage));
    setModal(true);

    auto* message = new QLabel(QString::fromUtf8(Texts::tempDialogMessage), this);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    auto* informative = new QLabel(QString::fromUtf8(Texts::tempDialogInformative), this);

    auto* accessory = new QWidget(this);
    accessory->setFixedSize(accessoryWidth, accessoryHeight);
    label(Texts::tempDialogStartLabel, frame(0, 38, 80, 22), accessory);
    startField = field(startText, frame(86, 36, 80, 26), accessory);
    label(Texts::tempDialogUnit, frame(172, 38, 30, 22), accessory);
    label(Texts::tempDialogFullLabel, frame(0, 6, 80, 22), accessory);
    fullField = field(fullText, frame(86, 4, 80, 26), accessory);
    label(Texts::tempDialogUnit, frame(172, 6, 30, 22), accessory);

    auto* buttons = new QDialogButtonBox(this);
    okButton = buttons->addButton(QString::fromUtf8(Texts::okButton), QDialogButtonBox::AcceptRole);
    cancelButton =
        buttons->addButton(QString::fromUtf8(Texts::cancelButton), QDialogButtonBox::RejectRole);
    okButton->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(message);
    layout->addWidget(informative);
    layout->addWidget(accessory);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

std::string TempThresholdDialog::startText() const {
    return startField->text().toStdString();
}

std::string TempThresholdDialog::fullText() const {
    return fullField->text().toStdString();
}

bool editTempThresholds(const std::function<bool(TempThresholdDialog&)>& run) {
    TempThresholdDialog dialog(formatFixed(BoostController::startTemp(), 0),
                               formatFixed(BoostController::fullTemp(), 0));
    const bool confirmed = run ? run(dialog) : dialog.exec() == QDialog::Accepted;
    if (!confirmed) return false;

    const std::optional<TempBoost::Range> range =
        TempBoost::validRange(dialog.startText(), dialog.fullText());
    if (!range) {
        showError(Texts::invalidTempTitle, Texts::invalidTempMessage);
        return false;
    }
    QSettings settings;
    settings.setValue(SettingsKeys::tempBoostStartTemp, range->start);
    settings.setValue(SettingsKeys::tempBoostThreshold, range->full);
    settings.sync();
    return true;
}
