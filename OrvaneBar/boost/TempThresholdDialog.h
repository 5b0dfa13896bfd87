// The dialog of "设置阶梯加速温度…": a message, an explanation, the two temperature fields
// with their labels, and the buttons "确定" and "取消".
#pragma once

#include <QDialog>
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
