#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "App/ExportJob.hpp"
#include "Model/FrameRate.hpp"

class QCheckBox;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace osterveil {

class EditorModel;
struct Sequence;

namespace sheets {
class IntegerField;
}

// The export form's choices, taken from the sequence when the sheet opens.
struct ExportDraft {
    ExportCodec codec = ExportCodec::proRes422HQ;
    std::int64_t width = 1920;
    std::int64_t height = 1080;
    FrameRate rate;
    // Only the marked In to Out range.
    bool useMarks = false;
    // Take the size and rate from the sequence as it is when the movie is written.
    bool matchSequence = true;

    static ExportDraft from(const Sequence& sequence);
    bool operator==(const ExportDraft&) const = default;
};

namespace ExportFormats {
// "ProRes 422 HQ", "H.264", …
QString label(ExportCodec codec);
// "mov" for the ProRes codecs, "mp4" for H.264 and HEVC.
QString extension(ExportCodec codec);
// Why an export cannot be written at this size (each side even, 16 to 8192), or none.
std::optional<QString> sizeProblem(std::int64_t width, std::int64_t height);
// The project's media file the target would replace, by its file name, or none. The export reads the
// sources while it writes, so it must never write over one.
std::optional<QString> replacedSource(const std::filesystem::path& target, const Project& project,
                                      const std::optional<std::filesystem::path>& projectURL);
} // namespace ExportFormats

// The export sheet: the movie's format, size, rate and range, then where to write it, then the export's
// progress and outcome. It never edits the project; the export takes a copy of it as it is when the file
// is chosen. One sheet runs at most one export. While it runs the sheet offers no way out but Cancel
// Export, its title bar's close button included; closing its editor window cancels the export.
class ExportSheet : public QDialog {
    Q_OBJECT
  public:
    // What the save panel is asked for; its answer is the chosen file, or none when cancelled.
    struct SaveRequest {
        QString suggestedName; // "Sequence 01.mp4"
        QString extension;     // "mp4"
        QString fileType;      // "MPEG-4 movie"
        QString confirmTitle;  // "Export"
    };
    using Answer = std::function<void(std::optional<std::filesystem::path>)>;
    // Shows a save panel beside the sheet and returns at once; the answer comes later, at most once.
    using SavePanel = std::function<void(QWidget* sheet, const SaveRequest& request, Answer answer)>;

    // Where the sheet asks for a file and what writes the movie; empty members take the real ones.
    struct Services {
        SavePanel savePanel;
        std::function<std::shared_ptr<MovieExporter>()> exporter;
    };

    explicit ExportSheet(EditorModel& model, QWidget* parent = nullptr, Services services = {});
    ~ExportSheet() override;

    const ExportDraft& draft() const { return draft_; }
    const ExportJob& job() const { return *job_; }
    ExportJob& job() { return *job_; }
    // "ProRes 422 HQ  1920×1080  23.976 fps  Whole sequence  .mov"
    QString summary() const;
    // The sequence's size and rate while matching, else the draft's.
    std::int64_t resolvedWidth() const;
    std::int64_t resolvedHeight() const;
    FrameRate resolvedRate() const;
    // Why Export… is unavailable, or none.
    std::optional<QString> sizeProblem() const;

    // Opens the save panel; a confirmed file starts the export.
    void chooseDestination();

    void done(int result) override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildForm(QWidget* form);
    void buildResult(QWidget* result);
    void destinationChosen(std::filesystem::path file);
    void refresh();

    EditorModel& model_;
    Services services_;
    ExportDraft draft_;
    ExportJob* job_;
    // A save panel is open; another Export… waits for its answer.
    bool choosing_ = false;
    bool closed_ = false;

    QWidget* form_ = nullptr;
    QComboBox* codecPicker_ = nullptr;
    QCheckBox* matchBox_ = nullptr;
    QWidget* ownSize_ = nullptr;
    sheets::IntegerField* widthField_ = nullptr;
    sheets::IntegerField* heightField_ = nullptr;
    QComboBox* ratePicker_ = nullptr;
    QLabel* sizeWarning_ = nullptr;
    QCheckBox* marksBox_ = nullptr;
    QLabel* summary_ = nullptr;
    QLabel* refusal_ = nullptr;
    QPushButton* exportButton_ = nullptr;

    QWidget* result_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QLabel* phase_ = nullptr;
    QLabel* error_ = nullptr;
    QPushButton* cancelExportButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
};

} // namespace osterveil
