#include "UI/Common/SliderRow.hpp"

#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <cmath>

#include "UI/Common/Theme.hpp"

namespace osterveil {

SliderRow::SliderRow(const QString& label, double minimum, double maximum, const SliderRowMetrics& metrics,
                     QWidget* parent)
    : QWidget(parent), metrics_(metrics), label_(new QLabel(label, this)),
      slider_(new DoubleSlider(minimum, maximum, this)), valueText_(new QLabel(this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(metrics.spacing);

    QFont labelFont = font();
    labelFont.setPixelSize(11);
    label_->setFont(labelFont);
    label_->setFixedWidth(metrics.labelWidth);
    label_->setAlignment(Qt::AlignLeading | Qt::AlignVCenter);
    label_->setTextFormat(Qt::PlainText);
    QPalette labelColours = label_->palette();
    labelColours.setColor(QPalette::WindowText, Theme::text);
    label_->setPalette(labelColours);

    QFont valueFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    valueFont.setPixelSize(10);
    valueText_->setFont(valueFont);
    valueText_->setFixedWidth(metrics.valueWidth);
    valueText_->setAlignment(Qt::AlignTrailing | Qt::AlignVCenter);
    QPalette valueColours = valueText_->palette();
    valueColours.setColor(QPalette::WindowText, Theme::textDim);
    valueText_->setPalette(valueColours);

    row->addWidget(label_);
    row->addWidget(slider_, 1);
    row->addWidget(valueText_);

    connect(slider_, &DoubleSlider::editingChanged, this, [this](bool on) {
        if (on) calledOff_ = false;
        emit editing(on);
    });
    connect(slider_, &DoubleSlider::valueEdited, this, [this](double value) {
        if (!calledOff_) emit changed(value);
    });
    updateText();
}

void SliderRow::setValue(double value) {
    value_ = value;
    slider_->setShownValue(value);
    updateText();
}

void SliderRow::callOff() {
    if (slider_->isEditing()) calledOff_ = true;
}

QString SliderRow::format(double value, int decimals, const QLocale& locale) {
    // A value that rounds to zero shows as zero, not as "-0.0".
    const double scale = std::pow(10.0, decimals);
    if (std::round(value * scale) == 0) value = 0;
    return locale.toString(value, 'f', decimals);
}

void SliderRow::updateText() {
    valueText_->setText(format(value_, metrics_.decimals, locale()));
}

void SliderRow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LocaleChange) updateText();
    QWidget::changeEvent(event);
}

} // namespace osterveil
