#pragma once

#include <QAbstractButton>
#include <QWidget>
#include <vector>

#include "Model/Uuid.hpp"

class QLabel;
class QMenu;
class QToolButton;

namespace osterveil {

class DoubleSlider;
class EditorModel;
class TextButton;
class TimecodeWell;
class TimelineScrollView;
struct Track;

// A small borderless button drawn as a glyph in one colour: the header's and track rows' icons, and
// the track target box.
class GlyphButton : public QAbstractButton {
    Q_OBJECT
  public:
    enum class Glyph { magnet, zoomOut, zoomIn, plus, eye, eyeSlash, lockClosed, lockOpen, target };
    GlyphButton(Glyph glyph, QSize size, const QString& help, QWidget* parent = nullptr);

    Glyph glyph() const { return glyph_; }
    void setGlyph(Glyph glyph);
    const QColor& color() const { return color_; }
    void setColor(const QColor& color);
    // The target box is filled when on.
    bool isOn() const { return on_; }
    void setOn(bool on);
    QSize sizeHint() const override { return size_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Glyph glyph_;
    QSize size_;
    QColor color_;
    bool on_ = false;
};

// A one-letter toggle of a track row ("M", "S"): bold 9 px text in its on colour or dimmed.
class LetterButton : public QAbstractButton {
    Q_OBJECT
  public:
    LetterButton(const QString& letter, const QColor& onColor, const QString& help,
                 QWidget* parent = nullptr);
    bool isOn() const { return on_; }
    void setOn(bool on);
    const QColor& color() const;
    QSize sizeHint() const override { return {14, 14}; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QColor onColor_;
    bool on_ = false;
};

// The timeline area of the editor window: a header bar (title, playhead timecode, snapping, the
// sequence In and Out, zoom and preview quality), a column of track headers beside the lanes, and the
// scrolling canvas. It keeps no project state: every control shows the model as it is now and
// changes it only through the model's commands.
class TimelinePanel : public QWidget {
    Q_OBJECT
  public:
    static constexpr int trackColumnWidth = 148;

    explicit TimelinePanel(EditorModel& model, QWidget* parent = nullptr);

    TimelineScrollView* timeline() const { return timeline_; }

    // One row of the track column, kept for as long as its track exists.
    struct TrackRow {
        Uuid id;
        QWidget* widget;
        QLabel* name;
        GlyphButton* visibility;
        GlyphButton* lock;
        LetterButton* mute;
        LetterButton* solo;
        GlyphButton* target;
    };
    const std::vector<TrackRow>& rows() const { return rows_; }

    // The header bar's controls, in the order shown.
    GlyphButton* snappingButton() const { return snapping_; }
    TextButton* inButton() const { return in_; }
    TextButton* outButton() const { return out_; }
    GlyphButton* zoomOutButton() const { return zoomOut_; }
    DoubleSlider* zoomSlider() const { return zoomSlider_; }
    GlyphButton* zoomInButton() const { return zoomIn_; }
    TextButton* fitButton() const { return fit_; }
    QToolButton* qualityButton() const { return quality_; }
    QToolButton* addTrackButton() const { return addTrack_; }
    TimecodeWell* timecode() const { return timecode_; }

    // Shows the model as it is now, and hands the canvas its new state.
    void refresh();
    // The menu of a track row, popped up at `globalPos`: "Delete Track" with its help text.
    QMenu* openRowMenu(QWidget* row, QPoint globalPos);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // The rows and the canvas's tracks follow the project only when it changed.
    void refresh(bool projectChanged);
    QWidget* makeHeader();
    QWidget* makeTrackColumn();
    TrackRow makeRow(const Track& track);
    void updateRow(TrackRow& row, const Track& track);
    void syncRows(const std::vector<Track>& tracks);
    // Puts each row beside its lane, as far up as the lanes are scrolled.
    void placeRows();

    EditorModel& model_;
    TimelineScrollView* timeline_;
    TimecodeWell* timecode_ = nullptr;
    GlyphButton* snapping_ = nullptr;
    TextButton* in_ = nullptr;
    TextButton* out_ = nullptr;
    GlyphButton* zoomOut_ = nullptr;
    DoubleSlider* zoomSlider_ = nullptr;
    GlyphButton* zoomIn_ = nullptr;
    TextButton* fit_ = nullptr;
    QToolButton* quality_ = nullptr;
    QToolButton* addTrack_ = nullptr;
    QWidget* trackColumn_ = nullptr;
    // Where the track rows stand, below the row over the ruler.
    QWidget* rowsArea_ = nullptr;
    std::vector<TrackRow> rows_;
};

} // namespace osterveil
