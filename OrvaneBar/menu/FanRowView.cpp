#include "FanRowView.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QSlider>
#include <algorithm>
#include <cmath>

#include "Texts.h"

namespace {

// The layout is given with the origin at the lower left and y upwards; Qt places
// children from the top left.
QRect frame(int x, int y, int w, int h) {
    return QRect(x, FanRowView::rowHeight - y - h, w, h);
}

// Font sizes are in the same points as the frames, i.e. Qt's device-independent pixels.
QFont systemFont(int size, QFont::Weight weight) {
    QFont font;
    font.setPixelSize(size);
    font.setWeight(weight);
    return font;
}

// The secondary label colour: the normal text colour, half transparent, so it stays
// readable on light and dark menus alike.
void useSecondaryColour(QLabel* label) {
    QPalette palette = label->palette();
    QColor colour = palette.color(QPalette::WindowText);
    colour.setAlphaF(0.55f);
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

}  // namespace

int sliderPosition(double rpm) {
    if (std::isnan(rpm)) return 0;
    if (rpm >= 1e9) return 1'000'000'000;
    if (rpm <= -1e9) return -1'000'000'000;
    return static_cast<int>(rpm);
}

FanRowCallouts forwardingTo(const QPointer<FanRowDelegate>& delegate) {
    return FanRowCallouts{
        .manualModeChanged =
            [&delegate](std::int64_t f, bool manual) {
                if (delegate) delegate->manualModeChanged(f, manual);
            },
        .sliderChanged =
            [&delegate](std::int64_t f, std::int64_t rpm) {
                if (delegate) delegate->sliderChanged(f, rpm);
            },
        .confirmChange =
            [&delegate](std::int64_t f) { return !delegate || delegate->confirmChange(f); },
    };
}

FanRowView::FanRowView(std::int64_t fan, FanRowDelegate* delegate, MainQueue& queue,
                       QWidget* parent)
    : QWidget(parent),
      fan(fan),
      delegate(delegate),
      nameLabel(new QLabel(Texts::fanRowInitialName, this)),
      rpmLabel(new QLabel(Texts::fanRowInitialRPM, this)),
      modeButton(new QCheckBox(Texts::manualCheckbox, this)),
      slider(new QSlider(Qt::Horizontal, this)),
      targetLabel(new QLabel(Texts::automaticTarget, this)),
      logic(fan, *this, queue, forwardingTo(this->delegate)) {
    setFixedSize(rowWidth, rowHeight);

    nameLabel->setFont(systemFont(12, QFont::DemiBold));
    nameLabel->setGeometry(frame(12, 36, 130, 18));

    rpmLabel->setFont(systemFont(12, QFont::Normal));
    useSecondaryColour(rpmLabel);
    rpmLabel->setGeometry(frame(130, 36, 100, 18));

    modeButton->setFont(systemFont(13, QFont::Normal));
    modeButton->setGeometry(frame(234, 33, 56, 22));
    // clicked: only the user's clicks, after the state has changed.
    connect(modeButton, &QCheckBox::clicked, this, [this] { modeAction(); });

    slider->setRange(sliderPosition(std::ceil(sliderMin_)), sliderPosition(std::floor(sliderMax_)));
    slider->setValue(3000);
    slider->setGeometry(frame(12, 4, 210, 24));
    // Programmatic changes block the slider's signals, so this sees the user's moves only;
    // tracking is on, so it fires repeatedly during a drag.
    connect(slider, &QSlider::valueChanged, this, [this] { sliderAction(); });

    targetLabel->setFont(systemFont(11, QFont::Normal));
    useSecondaryColour(targetLabel);
    targetLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    target_ = Texts::automaticTarget;
    layoutTarget();
}

void FanRowView::update(const FanLiveInfo& live) {
    logic.update(live);
}
void FanRowView::setStanding(const std::string& note) {
    setToolTip(QString::fromStdString(note));
    logic.setStanding(note);
}
void FanRowView::modeAction() {
    logic.modeAction();
}
void FanRowView::sliderAction() {
    logic.sliderAction();
}

void FanRowView::mousePressEvent(QMouseEvent* event) {
    event->accept();
}
void FanRowView::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
}

std::string FanRowView::nameText() const {
    return nameLabel->text().toStdString();
}
void FanRowView::setNameText(const std::string& text) {
    ++widgetWrites_;
    nameLabel->setText(QString::fromStdString(text));
}

void FanRowView::setRPMText(const std::string& text) {
    ++widgetWrites_;
    rpmLabel->setText(QString::fromStdString(text));
}

bool FanRowView::isManualChecked() const {
    return modeButton->isChecked();
}
void FanRowView::setManualChecked(bool checked) {
    ++widgetWrites_;
    QSignalBlocker quiet(modeButton);
    modeButton->setChecked(checked);
}

// The slider is whole-numbered. Its range is the given limits narrowed inward to whole
// numbers (ceil of the minimum, floor of the maximum), so every position it offers lies
// within the fan's limits; the exact limits are kept as doubles for the comparisons of
// the update rules. Should the narrowed range be empty, it collapses onto its minimum.
void FanRowView::setSliderMinimum(double value) {
    sliderMin_ = value;
    applySliderRange();
}

void FanRowView::setSliderMaximum(double value) {
    sliderMax_ = value;
    applySliderRange();
}

void FanRowView::applySliderRange() {
    ++widgetWrites_;
    const int lo = sliderPosition(std::ceil(sliderMin_));
    const int hi = std::max(lo, sliderPosition(std::floor(sliderMax_)));
    QSignalBlocker quiet(slider);
    slider->setRange(lo, hi);
}

bool FanRowView::isSliderEnabled() const {
    return slider->isEnabled();
}
void FanRowView::setSliderEnabled(bool enabled) {
    ++widgetWrites_;
    slider->setEnabled(enabled);
}

double FanRowView::sliderValue() const {
    return slider->value();
}
// The fraction is dropped; the slider then keeps the position within its range.
void FanRowView::setSliderValue(double value) {
    // The slider keeps positions within its range, so compare with the position it would take.
    const int position = std::clamp(sliderPosition(value), slider->minimum(), slider->maximum());
    if (slider->value() == position) return;
    ++widgetWrites_;
    QSignalBlocker quiet(slider);
    slider->setValue(position);
}

std::string FanRowView::targetText() const {
    return target_;
}
void FanRowView::setTargetText(const std::string& text) {
    ++widgetWrites_;
    target_ = text;
    layoutTarget();
}

void FanRowView::layoutTarget() {
    constexpr int right = 290, gap = 6, narrowest = 62, widest = 160;
    const QString text = QString::fromStdString(target_);
    const QFontMetrics metrics(targetLabel->font());
    const int needed = metrics.horizontalAdvance(text);
    const int width = std::clamp(needed, narrowest, widest);
    targetLabel->setGeometry(frame(right - width, 8, width, 16));
    slider->setGeometry(frame(12, 4, right - width - gap - 12, 24));
    targetLabel->setText(needed > widest ? metrics.elidedText(text, Qt::ElideRight, width) : text);
}
