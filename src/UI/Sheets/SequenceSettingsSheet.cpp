#include "UI/Sheets/SequenceSettingsSheet.hpp"

#include <QComboBox>
#include <QLineEdit>
#include <algorithm>
#include <array>

#include "App/EditorMeasures.hpp"
#include "App/EditorModel.hpp"
#include "UI/Sheets/SheetParts.hpp"

namespace osterveil {

namespace {

constexpr int sheetWidth = 460;
constexpr int sizeFieldWidth = 90;

struct SizePreset {
    std::int64_t width, height;
};
constexpr std::array<SizePreset, 3> sizePresets{{{1280, 720}, {1920, 1080}, {3840, 2160}}};

QString sizeText(std::int64_t width, std::int64_t height) {
    return QString::number(width) + QStringLiteral("\u00d7") + QString::number(height);
}

} // namespace

SequenceSettingsSheet::SequenceSettingsSheet(EditorModel& model, QWidget* parent)
    : QDialog(parent), model_(model), draft_(SequenceSettingsDraft::from(model.project().sequence)) {
    QVBoxLayout* column = sheets::makeColumn(*this, sheetWidth, 14, tr("Sequence Settings"));
    QWidget* content = column->parentWidget();

    nameField_ = new QLineEdit(QString::fromStdString(draft_.name), content);
    nameField_->setPlaceholderText(tr("Name"));
    connect(nameField_, &QLineEdit::textEdited, this,
            [this](const QString& text) { draft_.name = text.toStdString(); });
    column->addWidget(nameField_);

    auto* sizeRow = new QHBoxLayout;
    widthField_ = new sheets::IntegerField(tr("Width"), content);
    heightField_ = new sheets::IntegerField(tr("Height"), content);
    for (auto* field : {widthField_, heightField_})
        field->setFixedWidth(sizeFieldWidth);
    connect(widthField_, &sheets::IntegerField::valueEdited, this, [this](std::int64_t v) {
        draft_.width = v;
        refresh();
    });
    connect(heightField_, &sheets::IntegerField::valueEdited, this, [this](std::int64_t v) {
        draft_.height = v;
        refresh();
    });
    sizeRow->addWidget(new QLabel(tr("Width"), content));
    sizeRow->addWidget(widthField_);
    sizeRow->addWidget(new QLabel(tr("Height"), content));
    sizeRow->addWidget(heightField_);
    sizeRow->addStretch(1);
    column->addLayout(sizeRow);
    sizeNote_ = sheets::makeWarning(content);
    sizeNote_->setText(tr("Width and height go up to 8192 pixels; Apply sets a larger value to 8192."));
    column->addWidget(sizeNote_);

    auto* rateRow = new QHBoxLayout;
    rateRow->addWidget(new QLabel(tr("Frame Rate"), content));
    ratePicker_ = new QComboBox(content);
    for (const FrameRate& rate : FrameRate::presets())
        ratePicker_->addItem(QString::fromStdString(rate.label()), QString::fromStdString(rate.id()));
    connect(ratePicker_, &QComboBox::activated, this, [this](int index) {
        draft_.rate = FrameRate::presets().at(static_cast<std::size_t>(index));
        refresh();
    });
    rateRow->addWidget(ratePicker_);
    rateRow->addStretch(1);
    column->addLayout(rateRow);

    auto* presetRow = new QHBoxLayout;
    for (const SizePreset& preset : sizePresets) {
        auto* button = sheets::makeButton(
            sizeText(preset.width, preset.height),
            tr("Set the sequence to %1").arg(sizeText(preset.width, preset.height)), content);
        sheets::makeBorderless(button);
        connect(button, &QPushButton::clicked, this, [this, preset] {
            draft_.width = preset.width;
            draft_.height = preset.height;
            refresh();
        });
        presetRow->addWidget(button);
    }
    presetRow->addStretch(1);
    column->addLayout(presetRow);

    matchButton_ = sheets::makeButton(QString(), tr("Match the sequence to the selected clip"), content);
    connect(matchButton_, &QPushButton::clicked, this, [this] {
        if (const std::optional<MediaItem> source = matchSource()) draft_ = draft_.matching(*source);
        refresh();
    });
    auto* matchRow = new QHBoxLayout;
    matchRow->addWidget(matchButton_);
    matchRow->addStretch(1);
    column->addLayout(matchRow);

    column->addWidget(sheets::makeNote(tr("Changing the frame rate does not retime clips. Times stay in "
                                          "seconds and snap to the new frame grid."),
                                       content));

    auto* cancel = sheets::makeButton(tr("Cancel"), tr("Close without changing the sequence"), content);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* applyButton = sheets::makeButton(tr("Apply"), tr("Apply sequence settings"), content);
    applyButton->setDefault(true);
    connect(applyButton, &QPushButton::clicked, this, [this] {
        apply();
        accept();
    });
    column->addLayout(sheets::makeButtonRow({cancel, applyButton}));

    // The Match button follows the selected clip.
    model_.follow(EditorModel::Part::project | EditorModel::Part::timelineView, this,
                  &SequenceSettingsSheet::refresh);
    refresh();
}

std::optional<MediaItem> SequenceSettingsSheet::matchSource() const {
    return model_.pictureSourceOfSelection();
}

void SequenceSettingsSheet::apply() {
    model_.applySequenceSettings(draft_);
}

void SequenceSettingsSheet::refresh() {
    widthField_->setValue(draft_.width);
    heightField_->setValue(draft_.height);
    sizeNote_->setVisible(draft_.width > EditorMeasures::maximumFrameSide ||
                          draft_.height > EditorMeasures::maximumFrameSide);
    const auto& presets = FrameRate::presets();
    const auto rate = std::find(presets.begin(), presets.end(), draft_.rate);
    ratePicker_->setCurrentIndex(rate == presets.end() ? -1 : static_cast<int>(rate - presets.begin()));
    const std::optional<MediaItem> source = matchSource();
    matchButton_->setVisible(source.has_value());
    if (source)
        matchButton_->setText(
            tr("Match %1, %2")
                .arg(sizeText(source->width, source->height),
                     QString::fromStdString(FrameRate::closest(source->nominalFrameRate).label())));
}

} // namespace osterveil
