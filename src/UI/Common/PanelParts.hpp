#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

// Small pieces the side panels are made of: section titles, captions, borderless text buttons, the
// small switch and collapsible groups. Sizes are in pixels, one for each point of the panels' design.
namespace osterveil {

namespace PanelText {
// Section and group titles: 10 px semibold with 0.6 px of tracking; the text is upper-cased by the caller.
QFont titleFont(QFont base);
// Captions, notes and small labels: 11 px.
QFont captionFont(QFont base);
// The ordinary control size of buttons and check boxes: 13 px.
QFont controlFont(QFont base);
// Sets the text colour of a label or button.
void setTextColor(QWidget* widget, const QColor& color);
} // namespace PanelText

// An explanatory caption: 11 px, in `color`, wrapping over as many lines as the width needs.
QLabel* makeCaption(const QString& text, QWidget* parent, const QColor& color);

// One line of plain text that ends in "…" when it does not fit, never wrapping.
class ElidedLabel : public QWidget {
    Q_OBJECT
  public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    void setText(const QString& text);
    const QString& text() const { return text_; }
    void setColor(const QColor& color);
    const QColor& color() const { return color_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString text_;
    QColor color_;
};

// Plain text over at most `maxLines` lines: words wrap at spaces, a word wider than the label breaks
// inside it, and text that still does not fit ends in "…". It takes the width its layout gives it and
// is as tall as its lines at that width.
class WrappingLabel : public QWidget {
    Q_OBJECT
  public:
    explicit WrappingLabel(int maxLines, QWidget* parent = nullptr);
    void setText(const QString& text);
    const QString& text() const { return text_; }
    void setColor(const QColor& color);
    // The lines as drawn at a width, the last one elided where the text goes on past it.
    QStringList lines(int width) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void fitHeight();

    int maxLines_;
    QString text_;
    QColor color_;
};

// A borderless button: its title in one colour, dimmed while pressed, with no frame or fill.
class TextButton : public QAbstractButton {
    Q_OBJECT
  public:
    TextButton(const QString& text, const QColor& color, const QString& help, QWidget* parent = nullptr);
    const QColor& color() const { return color_; }
    void setColor(const QColor& color) {
        if (color == color_) return;
        color_ = color;
        update();
    }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QColor color_;
};

// A small on/off switch with its title before it; checkable like a check box.
class ToggleSwitch : public QAbstractButton {
    Q_OBJECT
  public:
    ToggleSwitch(const QString& text, const QString& help, QWidget* parent = nullptr);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QRect trackRect() const;
};

// A group of a panel that opens and closes under its header: a chevron and the upper-cased title.
// Which groups are open is the owner's state; the header only reports the click (`toggleRequested`)
// and the owner answers with `setOpen`.
class CollapsibleSection : public QWidget {
    Q_OBJECT
  public:
    // `title` as stored (the help says "Hide Basic"); the header shows it upper-cased.
    CollapsibleSection(const QString& title, int contentSpacing, QWidget* parent = nullptr);

    const QString& title() const { return title_; }
    bool isOpen() const { return open_; }
    void setOpen(bool open);
    // Where the group's rows go.
    QWidget* content() const { return content_; }
    QVBoxLayout* contentLayout() const { return contentLayout_; }
    QAbstractButton* header() const { return header_; }

  signals:
    void toggleRequested();

  private:
    QString title_;
    bool open_ = false;
    QAbstractButton* header_;
    QWidget* content_;
    QVBoxLayout* contentLayout_;
};

} // namespace osterveil
