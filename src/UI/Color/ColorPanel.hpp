#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "Model/Project.hpp"

namespace osterveil {

class CollapsibleSection;
class CurvesSection;
class EditorModel;
class ElidedLabel;
class SliderRow;
class TextButton;
class ToggleSwitch;
class WheelsSection;

// The colour panel: grades one clip. A header with the Bypass switch, a banner while the grade is
// bypassed, six collapsible groups of controls and "Reset Color".
//
// The panel keeps no project state. It shows the values of its clip as the model's project holds them,
// refreshing its widgets in place whenever the model changes (never rebuilding them, which would lose a
// drag), and it changes the clip only through the model: sliders as live gestures that end in one undo
// step named for the row, switches and buttons as one committed edit each. Which groups are open is the
// window's, kept by the model. No control is ever disabled, by bypass or anything else.
class ColorPanel : public QWidget {
    Q_OBJECT
  public:
    // The groups in the order shown; the titles are also what the model's set of open groups holds.
    static const QStringList groupTitles;

    explicit ColorPanel(EditorModel& model, QWidget* parent = nullptr);

    // The clip to grade, addressed by id. The panel does not look for a clip of its own: its container
    // hands it the primary clip. Until then, and while the clip is missing, it shows what it showed.
    void setClip(const Uuid& clipID);
    const std::optional<Uuid>& clip() const { return clipID_; }

    // Shows the clip's values and the open groups as they are now.
    void refresh();

    // A group by its stored title ("Basic", …, "Vignette").
    CollapsibleSection* group(const QString& title) const;
    // The contents of "Curves" and "Wheels", which draw their own controls.
    CurvesSection* curves() const { return curves_; }
    WheelsSection* wheels() const { return wheels_; }

  private:
    using GradeChange = std::function<void(ColorGrade&)>;
    using PanelChange = std::function<void(LumetriPanel&)>;
    using Reading = std::function<double(const ColorGrade&)>;

    // Each change of a slider: live, no undo step.
    void setGrade(const GradeChange& change);
    void setPanel(const PanelChange& change);
    // A discrete control of the grade's panel: one undo step "Color".
    void setCommitted(const PanelChange& change);
    // One committed edit of the clip.
    void updateClip(const QString& name, const std::function<void(TimelineClip&)>& change);

    // A slider row in `group` showing `shown` of the grade; a drag is one undo step named `undoName`.
    SliderRow* slider(CollapsibleSection* group, const QString& label, double minimum, double maximum,
                      const QString& undoName, Reading shown, std::function<void(double)> change);

    QWidget* makeHeader();
    void makeBasic(CollapsibleSection* group);
    void makeCreative(CollapsibleSection* group);
    void makeHSL(CollapsibleSection* group);
    void makeVignette(CollapsibleSection* group);
    void toggleGroup(const QString& title);
    void chooseLUT();

    EditorModel& model_;
    std::optional<Uuid> clipID_;

    struct Row {
        SliderRow* row;
        Reading shown;
    };
    std::vector<Row> rows_;
    std::vector<CollapsibleSection*> groups_;
    ToggleSwitch* bypass_ = nullptr;
    QLabel* banner_ = nullptr;
    TextButton* reset_ = nullptr;
    ElidedLabel* lutName_ = nullptr;
    TextButton* loadLUT_ = nullptr;
    TextButton* clearLUT_ = nullptr;
    QCheckBox* hslEnabled_ = nullptr;
    CurvesSection* curves_ = nullptr;
    WheelsSection* wheels_ = nullptr;
};

} // namespace osterveil
