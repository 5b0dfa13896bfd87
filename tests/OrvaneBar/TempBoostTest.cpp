// The temperature boost, driven tick by tick with chosen temperatures; the commands it
// hands to the write path are recorded instead of sent.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <cmath>

#include "AppFixture.h"
#include "BoostController.h"
#include "Formatting.h"
#include "SettingsKeys.h"
#include "TempBoost.h"
#include "TempThresholdDialog.h"
#include "Texts.h"

namespace {

std::vector<std::string> setBoth(int rpm) {
    return {"set 0 " + std::to_string(rpm), "set 1 " + std::to_string(rpm)};
}

const std::vector<std::string> kNone;

}  // namespace

class TempBoostTest : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        // Both fans top out at 6200; fan 1 is forced at 3000, fan 0 automatic.
        startMachine(machines::modeKeys, true);
        emu->control("set F0Mx 00c0c145");
        emu->control("set F1Md 01");
        emu->control("set F1Tg 00803b45");
    }

    // The application with the boost switched on or off; its writes are recorded.
    std::unique_ptr<RecordingApp> makeApp(bool enabled = true) {
        QSettings().setValue(SettingsKeys::tempBoostEnabled, enabled);
        return AppFixture::makeApp<RecordingApp>(seams());
    }
    std::unique_ptr<RecordingApp> launch(bool enabled = true) {
        QSettings().setValue(SettingsKeys::tempBoostEnabled, enabled);
        return AppFixture::launch<RecordingApp>(seams(), true);
    }
};

TEST_F(TempBoostTest, StepsFromIdle) {
    // Nothing stored: 65 to 85.
    const std::pair<double, std::vector<std::string>> table[] = {
        {64.9, kNone},         {65, setBoth(2480)}, {72, setBoth(3720)},
        {79.9, setBoth(4960)}, {80, setBoth(6200)}, {100, setBoth(6200)},
    };
    for (const auto& [t, expected] : table) {
        auto app = makeApp();
        app->handleTempBoost(t, std::nullopt);
        EXPECT_EQ(app->take(), expected) << t;
        EXPECT_EQ(app->boost.tempBoostActive, !expected.empty()) << t;
    }
}

TEST_F(TempBoostTest, StepFollowsTheTemperatureBothWays) {
    auto app = makeApp();
    for (double t : {66.0, 67.0, 68.5, 69.9}) {
        app->handleTempBoost(t, std::nullopt);
    }
    EXPECT_EQ(app->take(), setBoth(2480));  // one band, many ticks: once
    EXPECT_EQ(app->boost.currentStep, 0);

    app->handleTempBoost(78, std::nullopt);
    EXPECT_EQ(app->take(), setBoth(4960));
    app->handleTempBoost(71, std::nullopt);  // no hysteresis: down a step at once
    EXPECT_EQ(app->take(), setBoth(3720));

    // The hotter reading counts; a missing one is ignored, both missing keep the step.
    app->handleTempBoost(70, 82);
    EXPECT_EQ(app->take(), setBoth(6200));
    app->handleTempBoost(std::nullopt, 66);
    EXPECT_EQ(app->take(), setBoth(2480));
    app->handleTempBoost(std::nullopt, std::nullopt);
    app->handleTempBoost(std::nan(""), std::nullopt);
    EXPECT_EQ(app->take(), kNone);
    EXPECT_TRUE(app->boost.tempBoostActive);
    EXPECT_EQ(app->boost.currentStep, 0);
}

TEST_F(TempBoostTest, CoolingDownRestoresWhatWasRecorded) {
    auto app = makeApp();
    app->handleTempBoost(70, std::nullopt);
    ASSERT_TRUE(app->boost.preBoostStates);
    EXPECT_EQ(app->boost.preBoostStates->size(), 2u);
    EXPECT_FALSE((*app->boost.preBoostStates)[0].forced);
    EXPECT_TRUE((*app->boost.preBoostStates)[1].forced);
    EXPECT_EQ((*app->boost.preBoostStates)[1].targetRPM, 3000);
    app->take();

    app->handleTempBoost(64.9, std::nullopt);
    EXPECT_EQ(app->take(), (std::vector<std::string>{"auto 0", "set 1 3000"}));
    EXPECT_FALSE(app->boost.tempBoostActive);
    EXPECT_FALSE(app->boost.preBoostStates);
    EXPECT_EQ(app->boost.currentStep, -1);
    app->handleTempBoost(50, std::nullopt);
    EXPECT_EQ(app->take(), kNone);

    // Records that no longer fit the fans: everything back to automatic.
    app->handleTempBoost(70, std::nullopt);
    app->boost.preBoostStates->pop_back();
    app->take();
    app->handleTempBoost(60, std::nullopt);
    EXPECT_EQ(app->take(), std::vector<std::string>{"auto"});
}

TEST_F(TempBoostTest, SwitchingOffRestoresAtTheNextTick) {
    auto app = launch();
    EXPECT_TRUE(app->tempBoostMenuItem->isChecked());
    app->handleTempBoost(75, std::nullopt);
    app->take();

    app->tempBoostMenuItem->trigger();
    EXPECT_FALSE(app->tempBoostMenuItem->isChecked());
    EXPECT_FALSE(QSettings().value(SettingsKeys::tempBoostEnabled).toBool());
    EXPECT_EQ(app->take(), kNone);  // nothing at once
    app->handleTempBoost(75, std::nullopt);
    EXPECT_EQ(app->take(), (std::vector<std::string>{"auto 0", "set 1 3000"}));
    app->handleTempBoost(75, std::nullopt);
    EXPECT_EQ(app->take(), kNone);

    app->tempBoostMenuItem->trigger();
    EXPECT_TRUE(app->tempBoostMenuItem->isChecked());
    app->handleTempBoost(75, std::nullopt);
    EXPECT_EQ(app->take(), setBoth(4960));
}

TEST_F(TempBoostTest, RowActionTakesTheFansBackUntilTheNextTick) {
    auto app = makeApp();
    app->handleTempBoost(72, std::nullopt);
    app->take();
    app->sliderChanged(0, 2000);
    EXPECT_EQ(app->take(), std::vector<std::string>{"set 0 2000"});  // no restore
    EXPECT_FALSE(app->boost.tempBoostActive);
    // Still hot: the next tick records the fans again and sends the step once more.
    app->handleTempBoost(72, std::nullopt);
    EXPECT_EQ(app->take(), setBoth(3720));
    EXPECT_TRUE(app->boost.tempBoostActive);
}

TEST_F(TempBoostTest, TicksDuringAWriteDoNotSendTwice) {
    // A failed write shows an alert, and the alert's event loop runs refresh ticks.
    auto app = makeApp();
    bool nested = false;
    app->onWrite = [&] {
        if (nested) return;
        nested = true;
        app->handleTempBoost(72, std::nullopt);
        nested = false;
    };
    app->handleTempBoost(72, std::nullopt);
    EXPECT_EQ(app->take(), setBoth(3720));
    app->onWrite = [&] {
        if (nested) return;
        nested = true;
        app->handleTempBoost(50, std::nullopt);
        nested = false;
    };
    app->handleTempBoost(50, std::nullopt);
    EXPECT_EQ(app->take(), (std::vector<std::string>{"auto 0", "set 1 3000"}));
}

TEST_F(TempBoostTest, StoredThresholdSetsTheBand) {
    QSettings().setValue(SettingsKeys::tempBoostThreshold, 50.0);  // start 40, not 30
    auto app = makeApp();
    app->handleTempBoost(39.9, std::nullopt);
    EXPECT_EQ(app->take(), kNone);
    app->handleTempBoost(45, std::nullopt);
    EXPECT_EQ(app->take(), setBoth(4960));

    QSettings().setValue(SettingsKeys::tempBoostThreshold, 90.0);  // start 70
    app->handleTempBoost(69.9, std::nullopt);
    EXPECT_EQ(app->take(), (std::vector<std::string>{"auto 0", "set 1 3000"}));
    app->handleTempBoost(90, std::nullopt);
    EXPECT_EQ(app->take(), setBoth(6200));
    // A start at or above the full speed temperature: full speed from the start.
    QSettings().setValue(SettingsKeys::tempBoostStartTemp, 95.0);
    app->handleTempBoost(94, std::nullopt);
    app->take();
    app->handleTempBoost(95, std::nullopt);
    EXPECT_EQ(app->take(), setBoth(6200));
}

// The state machine on its own, with fans whose readings fail: a maximum that cannot be read
// counts as 6000, a fan recorded without any speed reading is given back at 0 when it was
// forced, and records that no longer fit the fans give every fan back at once.
TEST_F(TempBoostTest, BoostOnFansThatCannotBeRead) {
    int fans = 2;
    std::vector<std::string> sent;
    BoostFans readings;
    readings.count = [&] { return fans; };
    readings.record = [&] { return std::vector<PreBoostState>{{true, 0}, {false, 0}}; };
    readings.maxRPM = [](int fan) { return fan == 0 ? 0.0 : 5000.0; };
    BoostController boost(readings, [&](const std::string& command) { sent.push_back(command); });
    QSettings().setValue(SettingsKeys::tempBoostEnabled, true);

    boost.handle(66, std::nullopt);
    EXPECT_EQ(sent, (std::vector<std::string>{"set 0 2400", "set 1 2000"}));
    sent.clear();
    boost.handle(60, std::nullopt);
    EXPECT_EQ(sent, (std::vector<std::string>{"set 0 0", "auto 1"}));
    EXPECT_FALSE(boost.tempBoostActive);

    sent.clear();
    boost.handle(90, std::nullopt);
    fans = 3;  // a fan appeared meanwhile
    boost.handle(60, std::nullopt);
    EXPECT_EQ(sent, (std::vector<std::string>{"set 0 6000", "set 1 5000", "auto"}));
}

TEST(TempBoostRules, UnreadableMaximumCountsAs6000) {
    EXPECT_EQ(TempBoost::stepRPM(0, 0), 2400);
    EXPECT_EQ(TempBoost::stepRPM(1, std::nan("")), 3600);
    EXPECT_EQ(TempBoost::stepRPM(2, 5700), 4560);
}

// The temperature grammar: plain decimals only, out-of-range values refused rather than
// rounded to infinity or zero.
TEST(TempBoostParse, AcceptsPlainDecimalsOnly) {
    const std::pair<const char*, double> accepted[] = {
        {"70", 70},   {".5", 0.5},   {"5.", 5},      {"-0", 0},     {"+60.25", 60.25},
        {"1e2", 100}, {"1E+2", 100}, {"25e-1", 2.5}, {"0e-400", 0}, {"007", 7},
    };
    for (const auto& [text, value] : accepted) {
        const auto parsed = TempBoost::parseTemperature(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_EQ(*parsed, value) << text;
    }
    for (const char* text :
         {"",      "+",    "-",   ".",   "1e",    "1e+",    "e5", "+-1", "--1", "++1",
          "1.2.3", "0x10", "inf", "nan", "1e400", "1e-400", " 1", "1 ",  "1,5", "٧٠"})
        EXPECT_FALSE(TempBoost::parseTemperature(text).has_value()) << text;
}

TEST_F(TempBoostTest, DialogValidatesAndStores) {
    auto app = launch(false);

    struct Case {
        std::string start, full;
        bool valid;
    };
    const Case cases[] = {
        {"40", "110", true},   {"39.9", "80", false},  {"105.5", "110", false},
        {"70", "70", false},   {"70", "110.1", false}, {" 70", "85", false},
        {"70 ", "85", false},  {"70", "", false},      {"七十", "85", false},
        {"70,5", "85", false}, {"1e2", "105", true},   {"+60.25", "90.5", true},
    };
    for (const Case& c : cases) {
        QSettings().setValue(SettingsKeys::tempBoostStartTemp, 50.0);
        QSettings().setValue(SettingsKeys::tempBoostThreshold, 60.0);
        alerts.clear();
        std::string shownStart;
        std::string shownFull;
        dialogAction = [&](TempThresholdDialog& dialog) {
            shownStart = dialog.startField->text().toStdString();
            shownFull = dialog.fullField->text().toStdString();
            dialog.startField->setText(QString::fromStdString(c.start));
            dialog.fullField->setText(QString::fromStdString(c.full));
            dialog.open();
            QTest::mouseClick(dialog.okButton, Qt::LeftButton);
            return dialog.result() == QDialog::Accepted;
        };
        app->setTempThreshold();
        const std::string label = c.start + " / " + c.full;
        EXPECT_EQ(shownStart, "50") << label;
        EXPECT_EQ(shownFull, "60") << label;
        const double start = QSettings().value(SettingsKeys::tempBoostStartTemp).toDouble();
        const double full = QSettings().value(SettingsKeys::tempBoostThreshold).toDouble();
        if (c.valid) {
            EXPECT_TRUE(alerts.empty()) << label;
            EXPECT_EQ(start, *TempBoost::parseTemperature(c.start)) << label;
            EXPECT_EQ(full, *TempBoost::parseTemperature(c.full)) << label;
            EXPECT_EQ(app->tempBoostMenuItem->text().toStdString(), app->tempBoostMenuTitle());
        } else {
            EXPECT_EQ(alerts, (std::vector<Alert>{{AlertStyle::warning, Texts::invalidTempTitle,
                                                   Texts::invalidTempMessage}}))
                << label;
            EXPECT_EQ(start, 50) << label;
            EXPECT_EQ(full, 60) << label;
        }
    }
    EXPECT_EQ(app->tempBoostMenuItem->text().toStdString(), tempBoostMenuTitle(60.25, 90.5));
}

TEST_F(TempBoostTest, DialogShowsTheTemperaturesInEffectAndCancelChangesNothing) {
    auto app = launch(false);
    std::vector<std::string> labels;
    dialogAction = [&](TempThresholdDialog& dialog) {
        for (QLabel* label : dialog.findChildren<QLabel*>())
            labels.push_back(label->text().toStdString());
        EXPECT_EQ(dialog.startField->text(), "65");
        EXPECT_EQ(dialog.fullField->text(), "85");
        dialog.startField->setText("70");
        dialog.open();
        QTest::mouseClick(dialog.cancelButton, Qt::LeftButton);
        return dialog.result() == QDialog::Accepted;
    };
    app->setTempThreshold();
    const std::vector<std::string> expected = {
        Texts::tempDialogMessage, Texts::tempDialogInformative, Texts::tempDialogStartLabel,
        Texts::tempDialogUnit,    Texts::tempDialogFullLabel,   Texts::tempDialogUnit};
    EXPECT_EQ(labels, expected);
    EXPECT_FALSE(QSettings().contains(SettingsKeys::tempBoostStartTemp));
    EXPECT_FALSE(QSettings().contains(SettingsKeys::tempBoostThreshold));
    EXPECT_EQ(app->tempBoostMenuItem->text().toStdString(), tempBoostMenuTitle(0, 0));
    EXPECT_TRUE(alerts.empty());
}
