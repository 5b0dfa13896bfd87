// The dialog of "设置阶梯加速温度…": a message, an explanation, the two temperature fields
// with their labels, and the buttons "确定" and "取消".
#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QLineEdit;
class QPushButton;

class TempThresholdDialog : public QDialog {
  public:
    // The accessory area holding labels and fields, in points.
    static constexpr int accessoryWidth = 220;
    static constexpr int accessoryHeight = 64;

    TempThresholdDialog(const std::string& startText, const std::string& fullText,
                        QWidget* parent = nullptr);

    std::string startText() const;
    std::string fullText() const;

    QLineEdit* startField;
    QLineEdit* fullField;
    QPushButton* okButton;
    QPushButton* cancelButton;
};

// "设置阶梯加速温度…": shows the dialog with the temperatures in effect through `run`
// (which tells whether "确定" was chosen; none: a modal exec) and stores valid input. Input
// out of range gets the "无效的温度值" warning and nothing is stored. True when new
// temperatures were stored.
bool editTempThresholds(const std::function<bool(TempThresholdDialog&)>& run);
