#pragma once

#include <QString>
#include <QWidget>

namespace osterveil {

// A framed monospaced readout (a monitor's playhead timecode, the timeline header's). The prominent
// form is the larger one of a monitor's main readout. The text is shown as it is given.
class TimecodeWell : public QWidget {
    Q_OBJECT
  public:
    explicit TimecodeWell(const QString& text = {}, bool prominent = false, QWidget* parent = nullptr);

    void setText(const QString& text);
    const QString& text() const { return text_; }
    void setProminent(bool prominent);
    bool isProminent() const { return prominent_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QFont readoutFont() const;
    QMargins padding() const;

    QString text_;
    bool prominent_ = false;
};

} // namespace osterveil
