#include "UI/Color/ColorPanel.hpp"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "App/EditorModel.hpp"
#include "UI/Color/CurvesSection.hpp"
#include "UI/Color/WheelsSection.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/SliderRow.hpp"
#include "UI/Common/Theme.hpp"

namespace osterveil {

const QStringList ColorPanel::groupTitles{QStringLiteral("Basic"),  QStringLiteral("Creative"),
                                          QStringLiteral("Curves"), QStringLiteral("Wheels"),
                                          QStringLiteral("HSL"),    QStringLiteral("Vignette")};

ColorPanel::ColorPanel(EditorModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(12);
    stack->addWidget(makeHeader());

    banner_ = makeCaption(tr("Bypass is on. Preview and export skip this grade."), this, Theme::textDim);
    banner_->setObjectName(QStringLiteral("bypassBanner"));
    banner_->hide();
    stack->addWidget(banner_);

    for (const QString& title : groupTitles) {
        // The curve editor and the wheels space their rows a little wider.
        const bool drawn = title == QLatin1String("Curves") || title == QLatin1String("Wheels");
        auto* group = new CollapsibleSection(title, drawn ? 8 : 6, this);
        group->setObjectName(title);
        connect(group, &CollapsibleSection::toggleRequested, this, [this, title] { toggleGroup(title); });
        groups_.push_back(group);
        stack->addWidget(group);
    }
    makeBasic(group(QStringLiteral("Basic")));
    makeCreative(group(QStringLiteral("Creative")));
    CollapsibleSection* curvesGroup = group(QStringLiteral("Curves"));
    curves_ = new CurvesSection(model_, curvesGroup->content());
    curvesGroup->contentLayout()->addWidget(curves_);
    CollapsibleSection* wheelsGroup = group(QStringLiteral("Wheels"));
    wheels_ = new WheelsSection(model_, wheelsGroup->content());
    wheelsGroup->contentLayout()->addWidget(wheels_);
    makeHSL(group(QStringLiteral("HSL")));
    makeVignette(group(QStringLiteral("Vignette")));

    reset_ =
        new TextButton(tr("Reset Color"), Theme::accent, tr("Reset every color control on this clip"), this);
    reset_->setObjectName(QStringLiteral("resetColor"));
    connect(reset_, &QAbstractButton::clicked, this, [this] {
        updateClip(QStringLiteral("Reset Color"), [](TimelineClip& c) { c.grade = ColorGrade::identity; });
    });
    stack->addWidget(reset_, 0, Qt::AlignLeading);

    model_.follow(EditorModel::Part::project | EditorModel::Part::window, this, &ColorPanel::refresh);
    refresh();
}

QWidget* ColorPanel::makeHeader() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    auto* title = new QLabel(tr("COLOR"), header);
    title->setFont(PanelText::titleFont(title->font()));
    PanelText::setTextColor(title, Theme::textDim);
    row->addWidget(title, 0, Qt::AlignVCenter);
    row->addStretch(1);
    bypass_ =
        new ToggleSwitch(tr("Bypass"), tr("Bypass the grade. Turn it off to grade the clip again."), header);
    bypass_->setObjectName(QStringLiteral("bypass"));
    connect(bypass_, &QAbstractButton::clicked, this, [this](bool on) {
        updateClip(QStringLiteral("Bypass Color"), [on](TimelineClip& c) { c.grade.lumetri.bypass = on; });
    });
    row->addWidget(bypass_, 0, Qt::AlignVCenter);
    return header;
}

void ColorPanel::setClip(const Uuid& clipID) {
    if (clipID_ == clipID) return;
    clipID_ = clipID;
    curves_->setClip(clipID);
    wheels_->setClip(clipID);
    refresh();
}

CollapsibleSection* ColorPanel::group(const QString& title) const {
    for (CollapsibleSection* g : groups_)
        if (g->title() == title) return g;
    return nullptr;
}

void ColorPanel::toggleGroup(const QString& title) {
    std::set<QString> open = model_.openColorSections();
    if (!open.erase(title)) open.insert(title);
    model_.setOpenColorSections(std::move(open));
    refresh();
}

void ColorPanel::refresh() {
    const std::set<QString>& open = model_.openColorSections();
    for (CollapsibleSection* g : groups_)
        g->setOpen(open.count(g->title()) > 0);
    curves_->refresh();
    wheels_->refresh();

    if (!clipID_) return;
    const std::optional<TimelineClip> clip = model_.project().sequence.clip(*clipID_);
    if (!clip) return;
    const ColorGrade& grade = clip->grade;
    const LumetriPanel& panel = grade.lumetri;

    bypass_->setChecked(panel.bypass);
    banner_->setVisible(panel.bypass);
    for (const Row& r : rows_)
        r.row->setValue(r.shown(grade));

    if (panel.lutPath.empty()) {
        lutName_->setText(QStringLiteral("No LUT"));
        lutName_->setColor(Theme::textDim);
    } else {
        // The file name of the path, read as a path: trailing separators do not count.
        QString path = QString::fromStdString(panel.lutPath);
        while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
            path.chop(1);
        lutName_->setText(path.section(QLatin1Char('/'), -1));
        lutName_->setColor(Theme::text);
    }
    clearLUT_->setVisible(!panel.lutPath.empty());
    hslEnabled_->setChecked(panel.hsl.enabled);
}

// ----- Edits ---------------------------------------------------------------------------------------------

void ColorPanel::setGrade(const GradeChange& change) {
    if (!clipID_) return;
    model_.liveClip(*clipID_, [&](TimelineClip& c) { change(c.grade); });
}

void ColorPanel::setPanel(const PanelChange& change) {
    if (!clipID_) return;
    model_.liveClip(*clipID_, [&](TimelineClip& c) { change(c.grade.lumetri); });
}

void ColorPanel::setCommitted(const PanelChange& change) {
    updateClip(QStringLiteral("Color"), [&](TimelineClip& c) { change(c.grade.lumetri); });
}

void ColorPanel::updateClip(const QString& name, const std::function<void(TimelineClip&)>& change) {
    if (clipID_) model_.updateClip(*clipID_, name, change);
    // The control shows what the model now holds, including when the edit did not apply.
    refresh();
}

SliderRow* ColorPanel::slider(CollapsibleSection* group, const QString& label, double minimum, double maximum,
                              const QString& undoName, Reading shown, std::function<void(double)> change) {
    auto* row = new SliderRow(label, minimum, maximum, SliderRowMetrics{}, group->content());
    row->setObjectName(label);
    group->contentLayout()->addWidget(row);
    connect(row, &SliderRow::editing, this, [this, undoName](bool on) {
        if (on)
            model_.beginTransientEdit();
        else
            // Ends the drag as one step under the row's name, then rebuilds the preview at once; nothing
            // when something else closed the gesture already.
            model_.commitTransientEdit(undoName);
    });
    connect(&model_, &EditorModel::transientEditCancelled, row, &SliderRow::callOff);
    connect(row, &SliderRow::changed, this, std::move(change));
    rows_.push_back({row, std::move(shown)});
    return row;
}

} // namespace osterveil
