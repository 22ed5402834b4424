#pragma once

#include <QLabel>
#include <QLocale>
#include <QWidget>

#include "UI/Common/DoubleSlider.hpp"

namespace osterveil {

// The proportions of a slider row; each panel has its own.
struct SliderRowMetrics {
    int labelWidth = 78;
    int spacing = 6;
    // Fraction digits of the value text.
    int decimals = 1;
    int valueWidth = 42;
};

// A label, a slider and the value it shows, in one row: the panels' control for a continuous number.
// The row keeps no value of its own. Its owner shows the model's value with `setValue` after every
// change and turns the slider's gestures (`editing`, `changed`) into edits of the model.
class SliderRow : public QWidget {
    Q_OBJECT
  public:
    SliderRow(const QString& label, double minimum, double maximum, const SliderRowMetrics& metrics,
              QWidget* parent = nullptr);

    // The value to show, in the row's own units; outside the range the thumb stops at the end and the
    // text shows the value as it is.
    void setValue(double value);
    double value() const { return value_; }

    QString label() const { return label_->text(); }
    QString valueText() const { return valueText_->text(); }
    DoubleSlider* slider() const { return slider_; }

    // The value as the row writes it: the locale's decimal number with the row's fraction digits, no
    // sign on zero.
    static QString format(double value, int decimals, const QLocale& locale);

    // The gesture under way was called off elsewhere (Escape, Undo): the rest of the drag changes
    // nothing, or it would carry on from the project as the cancel left it and record that as a step.
    void callOff();

  signals:
    // True when the user starts moving the slider, false when they stop.
    void editing(bool on);
    void changed(double value);

  protected:
    void changeEvent(QEvent* event) override;

  private:
    void updateText();

    SliderRowMetrics metrics_;
    QLabel* label_;
    DoubleSlider* slider_;
    QLabel* valueText_;
    double value_ = 0;
    bool calledOff_ = false;
};

} // namespace osterveil
