#include "UI/Sheets/ExportSheet.hpp"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QProgressBar>
#include <cmath>
#include <system_error>

#include "App/EditorMeasures.hpp"
#include "App/EditorModel.hpp"
#include "UI/Sheets/SheetParts.hpp"

namespace osterveil {

namespace fs = std::filesystem;

namespace {

constexpr int sheetWidth = 480;
constexpr int progressSteps = 1000;

constexpr std::array<ExportCodec, 5> codecs{ExportCodec::proRes422, ExportCodec::proRes422HQ,
                                            ExportCodec::proRes4444, ExportCodec::h264, ExportCodec::hevc};

struct SizePreset {
    const char* title;
    std::int64_t width, height;
};
constexpr std::array<SizePreset, 3> sizePresets{
    {{"720p", 1280, 720}, {"1080p", 1920, 1080}, {"4K", 3840, 2160}}};

QString times() {
    return QStringLiteral("\u00d7");
}

// Where a path leads once links are followed, or the path made absolute when it cannot be followed.
fs::path followed(const fs::path& p) {
    std::error_code ec;
    fs::path absolute = fs::absolute(p, ec);
    if (ec) return p;
    fs::path canonical = fs::weakly_canonical(absolute, ec);
    return ec ? absolute.lexically_normal() : canonical;
}

fs::path pathOf(const QString& file) {
    return fs::path(QFile::encodeName(file).toStdString());
}

// A window-modeless save dialog beside the sheet; it goes with the sheet.
void showSaveDialog(QWidget* sheet, const ExportSheet::SaveRequest& request, ExportSheet::Answer answer) {
    auto* dialog = new QFileDialog(sheet);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::NonModal);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(QStringLiteral("%1 (*.%2)").arg(request.fileType, request.extension));
    dialog->setDefaultSuffix(request.extension);
    dialog->selectFile(request.suggestedName);
    dialog->setLabelText(QFileDialog::Accept, request.confirmTitle);
    QObject::connect(dialog, &QFileDialog::finished, dialog,
                     [dialog, answer = std::move(answer)](int result) {
                         const QStringList files = dialog->selectedFiles();
                         if (result == QDialog::Accepted && !files.isEmpty())
                             answer(pathOf(files.first()));
                         else
                             answer(std::nullopt);
                     });
    dialog->show();
}

} // namespace

ExportDraft ExportDraft::from(const Sequence& sequence) {
    ExportDraft draft;
    draft.width = sequence.width;
    draft.height = sequence.height;
    draft.rate = sequence.frameRate;
    draft.useMarks = sequence.markedRange().has_value();
    return draft;
}

namespace ExportFormats {

QString label(ExportCodec codec) {
    switch (codec) {
    case ExportCodec::proRes422:
        return QStringLiteral("ProRes 422");
    case ExportCodec::proRes422HQ:
        return QStringLiteral("ProRes 422 HQ");
    case ExportCodec::proRes4444:
        return QStringLiteral("ProRes 4444");
    case ExportCodec::h264:
        return QStringLiteral("H.264");
    case ExportCodec::hevc:
        return QStringLiteral("HEVC");
    }
    return {};
}

QString extension(ExportCodec codec) {
    return ExportCodecs::isProRes(codec) ? QStringLiteral("mov") : QStringLiteral("mp4");
}

std::optional<QString> sizeProblem(std::int64_t width, std::int64_t height) {
    const auto fits = [](std::int64_t side) {
        return side >= 16 && side <= EditorMeasures::maximumFrameSide && side % 2 == 0;
    };
    const bool widthFits = fits(width), heightFits = fits(height);
    if (widthFits && heightFits) return std::nullopt;
    if (!widthFits && !heightFits)
        return ExportSheet::tr("The width and height must be even numbers from 16 to 8192.");
    return widthFits ? ExportSheet::tr("The height must be an even number from 16 to 8192.")
                     : ExportSheet::tr("The width must be an even number from 16 to 8192.");
}

std::optional<QString> replacedSource(const fs::path& target, const Project& project,
                                      const std::optional<fs::path>& projectURL) {
    const fs::path written = followed(target);
    for (const MediaItem& item : project.media) {
        const std::optional<fs::path> source = item.resolveURL(projectURL);
        if (!source) continue;
        std::error_code ec;
        // The same file under another name (a hard link) counts as well.
        if (followed(*source) == written || fs::equivalent(*source, target, ec))
            return QString::fromStdString(target.filename().string());
    }
    return std::nullopt;
}

} // namespace ExportFormats

ExportSheet::ExportSheet(EditorModel& model, QWidget* parent, Services services)
    : QDialog(parent), model_(model), services_(std::move(services)),
      draft_(ExportDraft::from(model.project().sequence)),
      job_(new ExportJob(services_.exporter ? services_.exporter() : MovieExporter::makeDefault())) {
    if (!services_.savePanel) services_.savePanel = showSaveDialog;

    QVBoxLayout* column = sheets::makeColumn(*this, sheetWidth, 14, tr("Export"));
    QWidget* content = column->parentWidget();
    form_ = new QWidget(content);
    result_ = new QWidget(content);
    buildForm(form_);
    buildResult(result_);
    column->addWidget(form_);
    column->addWidget(result_);

    model_.follow(EditorModel::Part::project, this, &ExportSheet::refresh);
    connect(job_, &ExportJob::changed, this, &ExportSheet::refresh);
    refresh();
}

ExportSheet::~ExportSheet() {
    disconnect(job_, nullptr, this, nullptr);
    job_->release();
}

void ExportSheet::buildForm(QWidget* form) {
    auto* column = new QVBoxLayout(form);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(14);

    auto* formatRow = new QHBoxLayout;
    formatRow->addWidget(new QLabel(tr("Format"), form));
    codecPicker_ = new QComboBox(form);
    for (ExportCodec codec : codecs)
        codecPicker_->addItem(ExportFormats::label(codec));
    connect(codecPicker_, &QComboBox::activated, this, [this](int index) {
        draft_.codec = codecs.at(static_cast<std::size_t>(index));
        refresh();
    });
    formatRow->addWidget(codecPicker_);
    formatRow->addStretch(1);
    column->addLayout(formatRow);

    matchBox_ = new QCheckBox(tr("Match sequence size and frame rate"), form);
    connect(matchBox_, &QCheckBox::clicked, this, [this](bool on) {
        draft_.matchSequence = on;
        refresh();
    });
    column->addWidget(matchBox_);

    ownSize_ = new QWidget(form);
    auto* own = new QVBoxLayout(ownSize_);
    own->setContentsMargins(0, 0, 0, 0);
    own->setSpacing(14);
    auto* sizeRow = new QHBoxLayout;
    widthField_ = new sheets::IntegerField(tr("Width"), ownSize_);
    heightField_ = new sheets::IntegerField(tr("Height"), ownSize_);
    connect(widthField_, &sheets::IntegerField::valueEdited, this, [this](std::int64_t v) {
        draft_.width = v;
        refresh();
    });
    connect(heightField_, &sheets::IntegerField::valueEdited, this, [this](std::int64_t v) {
        draft_.height = v;
        refresh();
    });
    sizeRow->addWidget(widthField_);
    sizeRow->addWidget(new QLabel(times(), ownSize_));
    sizeRow->addWidget(heightField_);
    own->addLayout(sizeRow);

    auto* rateRow = new QHBoxLayout;
    rateRow->addWidget(new QLabel(tr("Frame Rate"), ownSize_));
    ratePicker_ = new QComboBox(ownSize_);
    for (const FrameRate& rate : FrameRate::presets())
        ratePicker_->addItem(QString::fromStdString(rate.label()), QString::fromStdString(rate.id()));
    connect(ratePicker_, &QComboBox::activated, this, [this](int index) {
        draft_.rate = FrameRate::presets().at(static_cast<std::size_t>(index));
        refresh();
    });
    rateRow->addWidget(ratePicker_);
    rateRow->addStretch(1);
    own->addLayout(rateRow);

    auto* presetRow = new QHBoxLayout;
    for (const SizePreset& preset : sizePresets) {
        auto* button = sheets::makeButton(
            QString::fromLatin1(preset.title),
            tr("Export at %1%2%3").arg(preset.width).arg(times()).arg(preset.height), ownSize_);
        sheets::makeBorderless(button);
        connect(button, &QPushButton::clicked, this, [this, preset] {
            draft_.width = preset.width;
            draft_.height = preset.height;
            refresh();
        });
        presetRow->addWidget(button);
    }
    presetRow->addStretch(1);
    own->addLayout(presetRow);
    column->addWidget(ownSize_);

    sizeWarning_ = sheets::makeWarning(form);
    column->addWidget(sizeWarning_);

    marksBox_ = new QCheckBox(tr("Use In and Out"), form);
    connect(marksBox_, &QCheckBox::clicked, this, [this](bool on) {
        draft_.useMarks = on;
        refresh();
    });
    column->addWidget(marksBox_);

    summary_ = sheets::makeNote(QString(), form);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(11);
    summary_->setFont(mono);
    column->addWidget(summary_);

    column->addWidget(
        sheets::makeNote(tr("Export renders the timeline through the same compositor as the viewer, "
                            "then encodes. It is a picture render, not a bitstream copy of the source."),
                         form));

    refusal_ = sheets::makeWarning(form);
    column->addWidget(refusal_);

    auto* cancel = sheets::makeButton(tr("Cancel"), tr("Close without exporting"), form);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    exportButton_ = sheets::makeButton(tr("Export…"), tr("Choose where to write the movie"), form);
    exportButton_->setDefault(true);
    connect(exportButton_, &QPushButton::clicked, this, &ExportSheet::chooseDestination);
    column->addLayout(sheets::makeButtonRow({cancel, exportButton_}));
}

void ExportSheet::buildResult(QWidget* result) {
    auto* column = new QVBoxLayout(result);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(14);

    progressBar_ = new QProgressBar(result);
    progressBar_->setRange(0, progressSteps);
    progressBar_->setTextVisible(false);
    column->addWidget(progressBar_);

    phase_ = sheets::makeNote(QString(), result);
    phase_->setWordWrap(false);
    QFont font = phase_->font();
    font.setPixelSize(12);
    phase_->setFont(font);
    column->addWidget(phase_);

    error_ = sheets::makeWarning(result);
    error_->setFont(font);
    column->addWidget(error_);

    cancelExportButton_ = sheets::makeButton(tr("Cancel Export"), tr("Stop the export"), result);
    connect(cancelExportButton_, &QPushButton::clicked, this, [this] { job_->cancel(); });
    closeButton_ = sheets::makeButton(tr("Close"), tr("Close the export sheet"), result);
    connect(closeButton_, &QPushButton::clicked, this, &QDialog::accept);
    column->addLayout(sheets::makeButtonRow({cancelExportButton_, closeButton_}));
}

std::int64_t ExportSheet::resolvedWidth() const {
    return draft_.matchSequence ? model_.project().sequence.width : draft_.width;
}

std::int64_t ExportSheet::resolvedHeight() const {
    return draft_.matchSequence ? model_.project().sequence.height : draft_.height;
}

FrameRate ExportSheet::resolvedRate() const {
    return draft_.matchSequence ? model_.project().sequence.frameRate : draft_.rate;
}

QString ExportSheet::summary() const {
    const QString gap = QStringLiteral("  ");
    return ExportFormats::label(draft_.codec) + gap + QString::number(resolvedWidth()) + times() +
           QString::number(resolvedHeight()) + gap + QString::fromStdString(resolvedRate().label()) + gap +
           (draft_.useMarks ? tr("In to Out") : tr("Whole sequence")) + gap + QStringLiteral(".") +
           ExportFormats::extension(draft_.codec);
}

std::optional<QString> ExportSheet::sizeProblem() const {
    std::optional<QString> problem = ExportFormats::sizeProblem(resolvedWidth(), resolvedHeight());
    if (problem && draft_.matchSequence)
        problem = tr("The sequence is %1%2%3. %4 Change it in Sequence Settings, or turn off matching.")
                      .arg(resolvedWidth())
                      .arg(times())
                      .arg(resolvedHeight())
                      .arg(*problem);
    return problem;
}

void ExportSheet::chooseDestination() {
    if (choosing_ || closed_ || job_->isRunning() || sizeProblem()) return;
    choosing_ = true;
    const QString extension = ExportFormats::extension(draft_.codec);
    SaveRequest request;
    request.suggestedName =
        QString::fromStdString(model_.project().sequence.name) + QStringLiteral(".") + extension;
    request.extension = extension;
    request.fileType = extension == QLatin1String("mp4") ? tr("MPEG-4 movie") : tr("QuickTime movie");
    request.confirmTitle = tr("Export");
    QPointer<ExportSheet> self(this);
    auto answered = std::make_shared<bool>(false);
    services_.savePanel(this, request, [self, answered](std::optional<fs::path> file) {
        // One answer per panel, and none once the sheet has gone.
        if (*answered || !self) return;
        *answered = true;
        self->choosing_ = false;
        if (file) self->destinationChosen(std::move(*file));
    });
}

void ExportSheet::destinationChosen(fs::path file) {
    if (closed_ || job_->isRunning() || job_->finished() || job_->errorMessage() || sizeProblem()) return;
    // The movie's container is the codec's: a name without its extension gets it.
    const std::string extension = "." + ExportFormats::extension(draft_.codec).toStdString();
    if (QString::fromStdString(file.extension().string())
            .compare(QString::fromStdString(extension), Qt::CaseInsensitive) != 0)
        file += extension;

    const Project project = model_.project();
    if (const std::optional<QString> source =
            ExportFormats::replacedSource(file, project, model_.projectURL())) {
        refusal_->setText(tr("The movie cannot be saved over “%1”: the project uses that file as a source. "
                             "Choose another name or folder.")
                              .arg(*source));
        refusal_->show();
        return;
    }
    refusal_->hide();

    ExportRequest request;
    request.project = project;
    request.projectURL = model_.projectURL();
    request.outputURL = std::move(file);
    request.codec = draft_.codec;
    request.width = resolvedWidth();
    request.height = resolvedHeight();
    request.frameRate = resolvedRate();
    request.useMarkedRange = draft_.useMarks;
    job_->start(std::move(request));
}

void ExportSheet::done(int result) {
    closed_ = true;
    QDialog::done(result);
}

void ExportSheet::keyPressEvent(QKeyEvent* event) {
    // While the export runs the sheet offers no way out by the keyboard.
    if (event->key() == Qt::Key_Escape && job_->isRunning()) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void ExportSheet::closeEvent(QCloseEvent* event) {
    // Closed, it would leave the export running unseen, to end without a word.
    if (job_->isRunning()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void ExportSheet::refresh() {
    const bool showsResult = job_->isRunning() || job_->finished() || job_->errorMessage().has_value();
    form_->setVisible(!showsResult);
    result_->setVisible(showsResult);
    if (!showsResult) {
        const auto codec = std::find(codecs.begin(), codecs.end(), draft_.codec);
        codecPicker_->setCurrentIndex(static_cast<int>(codec - codecs.begin()));
        matchBox_->setChecked(draft_.matchSequence);
        ownSize_->setVisible(!draft_.matchSequence);
        widthField_->setValue(draft_.width);
        heightField_->setValue(draft_.height);
        const auto& presets = FrameRate::presets();
        const auto rate = std::find(presets.begin(), presets.end(), draft_.rate);
        ratePicker_->setCurrentIndex(rate == presets.end() ? -1 : static_cast<int>(rate - presets.begin()));
        marksBox_->setChecked(draft_.useMarks);
        marksBox_->setEnabled(model_.project().sequence.markedRange().has_value());
        summary_->setText(summary());
        const std::optional<QString> problem = sizeProblem();
        sizeWarning_->setText(problem.value_or(QString()));
        sizeWarning_->setVisible(problem.has_value());
        exportButton_->setEnabled(!problem);
        return;
    }
    progressBar_->setValue(static_cast<int>(std::lround(job_->progress() * progressSteps)));
    phase_->setText(job_->phase());
    // A movie kept unchecked is told in the same place as a failure.
    const std::optional<QString>& told = job_->errorMessage() ? job_->errorMessage() : job_->note();
    error_->setText(told.value_or(QString()));
    error_->setVisible(told.has_value());
    cancelExportButton_->setVisible(job_->isRunning());
    closeButton_->setVisible(!job_->isRunning());
    closeButton_->setDefault(!job_->isRunning());
}

} // namespace osterveil
