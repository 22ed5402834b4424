#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QThreadPool>
#include <condition_variable>
#include <deque>
#include <mutex>

extern "C" {
#include <libavformat/avformat.h>
}

#include "MediaFixtures.hpp"
#include "SheetTestSupport.hpp"
#include "UI/Sheets/ExportSheet.hpp"
#include "UI/Sheets/SheetParts.hpp"

using namespace osterveil;
using namespace osterveil::testsupport;
namespace fs = std::filesystem;

namespace {

// An exporter whose progress and end the test decides, one step at a time, from its worker thread.
class ScriptedExporter : public MovieExporter {
  public:
    void exportMovie(const ExportRequest& request, const std::function<void(double)>& progress) override {
        {
            std::lock_guard lock(mutex_);
            ++runs;
            requests.push_back(request);
        }
        for (;;) {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [&] { return !steps_.empty(); });
            Step step = steps_.front();
            steps_.pop_front();
            lock.unlock();
            if (step.error) std::rethrow_exception(step.error);
            if (step.ends) return;
            progress(step.progress);
        }
    }
    void cancel() override { cancels.fetch_add(1); }

    void report(double p) { push({p, false, nullptr}); }
    void succeed() { push({0, true, nullptr}); }
    template <class E> void fail(E error) { push({0, true, std::make_exception_ptr(error)}); }

    int runCount() {
        std::lock_guard lock(mutex_);
        return runs;
    }

    std::vector<ExportRequest> requests;
    std::atomic<int> cancels{0};

  private:
    struct Step {
        double progress;
        bool ends;
        std::exception_ptr error;
    };
    void push(Step step) {
        std::lock_guard lock(mutex_);
        steps_.push_back(step);
        ready_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Step> steps_;
    int runs = 0;
};

// Save panels that stay open until the test answers them.
struct SavePanels {
    std::vector<ExportSheet::SaveRequest> requests;
    std::vector<ExportSheet::Answer> answers;
    ExportSheet::SavePanel panel() {
        return [this](QWidget*, const ExportSheet::SaveRequest& r, ExportSheet::Answer a) {
            requests.push_back(r);
            answers.push_back(std::move(a));
        };
    }
};

struct ExportSheetTest : SheetFixture {
    void TearDown() override {
        // No worker is left waiting on a step that never comes.
        for (int i = 0; i < 4; ++i)
            exporter->succeed();
        waitUntil([&] { return QThreadPool::globalInstance()->activeThreadCount() == 0; });
    }

    std::unique_ptr<ExportSheet> makeSheet() {
        ExportSheet::Services services;
        services.savePanel = panels.panel();
        services.exporter = [e = exporter] { return e; };
        auto sheet = std::make_unique<ExportSheet>(model, nullptr, services);
        sheet->show();
        return sheet;
    }

    Project withClip(double seconds) {
        Project p = ProjectDocument::newProject();
        MediaItem m;
        m.id = Uuid::make();
        m.name = "clip";
        m.kind = MediaKind::video;
        m.path = MediaFixtures::shared().path(Fixture::h264Movie).string();
        m.duration = 1;
        m.width = 320;
        m.height = 180;
        m.nominalFrameRate = 24;
        m.hasVideo = true;
        p.media.push_back(m);
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = m.id;
        c.duration = seconds;
        p.sequence.tracks.mut(0).clips.push_back(c);
        return p;
    }

    std::shared_ptr<ScriptedExporter> exporter = std::make_shared<ScriptedExporter>();
    SavePanels panels;
};

QComboBox* codecPicker(const QWidget& sheet) {
    return sheet.findChildren<QComboBox*>().at(0);
}

sheets::IntegerField* field(const QWidget& sheet, const QString& title) {
    for (auto* f : sheet.findChildren<sheets::IntegerField*>())
        if (f->placeholderText() == title) return f;
    return nullptr;
}

void retype(sheets::IntegerField* f, const QString& text) {
    f->setFocus();
    f->selectAll();
    QTest::keyClicks(f, text);
}

struct Written {
    AVCodecID codec = AV_CODEC_ID_NONE;
    int width = 0, height = 0;
    std::int64_t frames = 0;
};

Written inspect(const fs::path& p) {
    Written w;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, p.c_str(), nullptr, nullptr) < 0) return w;
    avformat_find_stream_info(fmt, nullptr);
    const int si = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (si >= 0) {
        w.codec = fmt->streams[si]->codecpar->codec_id;
        w.width = fmt->streams[si]->codecpar->width;
        w.height = fmt->streams[si]->codecpar->height;
        AVPacket* pkt = av_packet_alloc();
        while (av_read_frame(fmt, pkt) >= 0) {
            w.frames += pkt->stream_index == si;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&fmt);
    return w;
}

} // namespace

TEST_F(ExportSheetTest, SummaryFormatsAndTheMarkedRange) {
    Project empty = ProjectDocument::newProject();
    empty.sequence.frameRate = {24000, 1001};
    open(empty);
    auto sheet = makeSheet();
    EXPECT_EQ(sheet->summary(), QStringLiteral("ProRes 422 HQ  1920×1080  23.976 fps  Whole sequence  .mov"));
    EXPECT_EQ(findByText<QLabel>(*sheet, sheet->summary())->text(), sheet->summary());
    // Nothing to mark: off and disabled.
    QCheckBox* marks = findByText<QCheckBox>(*sheet, "Use In and Out");
    EXPECT_FALSE(marks->isChecked());
    EXPECT_FALSE(marks->isEnabled());

    // H.264 and HEVC write MPEG-4 files; the panel suggests the sequence's name with that extension.
    QComboBox* codec = codecPicker(*sheet);
    codec->setFocus();
    QTest::keyClick(codec, Qt::Key_Down); // ProRes 4444
    QTest::keyClick(codec, Qt::Key_Down); // H.264
    EXPECT_EQ(sheet->summary(), QStringLiteral("H.264  1920×1080  23.976 fps  Whole sequence  .mp4"));
    QTest::keyClick(sheet.get(), Qt::Key_Return);
    QTest::keyClick(codec, Qt::Key_Down); // HEVC
    EXPECT_TRUE(sheet->summary().endsWith(".mp4"));
    panels.answers.at(0)(std::nullopt);
    findByText(*sheet, "Export…")->click();
    ASSERT_EQ(panels.requests.size(), 2u);
    for (const auto& r : panels.requests) {
        EXPECT_EQ(r.extension, "mp4");
        EXPECT_EQ(r.fileType, "MPEG-4 movie");
        EXPECT_EQ(r.confirmTitle, "Export");
    }
    EXPECT_EQ(panels.requests[1].suggestedName, "Sequence 01.mp4");
    // A cancelled panel leaves the form as it was.
    panels.answers.at(1)(std::nullopt);
    EXPECT_FALSE(sheet->job().isRunning());
    EXPECT_TRUE(findByText(*sheet, "Export…")->isVisible());

    // A sequence with clips has a marked range: a new sheet opens ticked, and says so.
    sheet.reset();
    open(withClip(1));
    sheet = makeSheet();
    marks = findByText<QCheckBox>(*sheet, "Use In and Out");
    EXPECT_TRUE(marks->isChecked());
    EXPECT_TRUE(marks->isEnabled());
    EXPECT_TRUE(sheet->summary().contains("  In to Out  .mov"));
}

TEST_F(ExportSheetTest, RejectedSizesAreExplainedAndCannotBeExported) {
    open(withClip(1));
    auto sheet = makeSheet();
    QAbstractButton* exportButton = findByText(*sheet, "Export…");
    findByText<QCheckBox>(*sheet, "Match sequence size and frame rate")->click();
    sheets::IntegerField* width = field(*sheet, "Width");
    ASSERT_TRUE(width && width->isVisible());

    // A preset sets the size only.
    findByText(*sheet, "720p")->click();
    EXPECT_EQ(sheet->draft().width, 1280);
    EXPECT_EQ(sheet->draft().height, 720);
    EXPECT_FALSE(sheet->draft().matchSequence);
    EXPECT_EQ(sheet->draft().rate, (FrameRate{24, 1}));

    for (const char* typed : {"0", "-4", "15", "1921", "8194", "100000000000"}) {
        retype(width, typed);
        EXPECT_TRUE(sheet->sizeProblem()) << typed;
        EXPECT_FALSE(exportButton->isEnabled()) << typed;
        EXPECT_EQ(
            findByText<QLabel>(*sheet, "The width must be an even number from 16 to 8192.")->isVisible(),
            true);
        QTest::keyClick(width, Qt::Key_Return);
        EXPECT_TRUE(panels.requests.empty()) << typed;
    }
    writePicture(*sheet, "export-sheet-rejected-size.png");
    for (const char* typed : {"16", "8192", "1920"}) {
        retype(width, typed);
        EXPECT_FALSE(sheet->sizeProblem()) << typed;
        EXPECT_TRUE(exportButton->isEnabled()) << typed;
    }
    // Text that is no number leaves the value as it was.
    retype(width, "wide");
    EXPECT_EQ(sheet->draft().width, 1920);

    // Matching takes the sequence's size, and a sequence that cannot be written says so too.
    findByText<QCheckBox>(*sheet, "Match sequence size and frame rate")->click();
    Project odd = document.project();
    odd.sequence.width = 1921;
    document.setProject(odd);
    EXPECT_TRUE(waitUntil([&] { return !exportButton->isEnabled(); }));
    EXPECT_EQ(sheet->resolvedWidth(), 1921);
    ASSERT_TRUE(sheet->sizeProblem());
    EXPECT_TRUE(sheet->sizeProblem()->startsWith("The sequence is 1921×1080."));
}

TEST_F(ExportSheetTest, JobPhasesFromProgressToSuccess) {
    ExportJob job(exporter);
    EXPECT_EQ(job.phase(), "Preparing the sequence…");
    EXPECT_EQ(job.progress(), 0);
    ExportRequest request;
    request.outputURL = "/some/folder/Cut.mov";
    ASSERT_TRUE(job.start(request));
    EXPECT_TRUE(job.isRunning());
    EXPECT_EQ(job.phase(), "Preparing the sequence…");
    EXPECT_FALSE(job.start(request)) << "one export at a time";

    for (auto [p, text] : {std::pair{0.004, "Encoding 0%"},
                           {0.005, "Encoding 1%"},
                           {0.125, "Encoding 13%"},
                           {0.995, "Encoding 100%"}}) {
        exporter->report(p);
        ASSERT_TRUE(waitUntil([&] { return job.progress() == p; })) << p;
        EXPECT_EQ(job.phase(), text);
    }
    exporter->succeed();
    ASSERT_TRUE(waitUntil([&] { return !job.isRunning(); }));
    EXPECT_TRUE(job.finished());
    EXPECT_EQ(job.progress(), 1);
    EXPECT_EQ(job.phase(), "Exported Cut.mov");
    EXPECT_FALSE(job.errorMessage());
    EXPECT_EQ(exporter->runCount(), 1);
}

TEST_F(ExportSheetTest, CancelAndFailureEndInTheStoppedState) {
    open(withClip(1));
    auto sheet = makeSheet();
    findByText(*sheet, "Export…")->click();
    panels.answers.at(0)(MediaFixtures::shared().scratch("cancelled.mov"));
    ASSERT_TRUE(sheet->job().isRunning());
    QAbstractButton* cancel = findByText(*sheet, "Cancel Export");
    EXPECT_TRUE(cancel->isVisible());
    // Nothing closes a running export by the keyboard.
    QTest::keyClick(sheet.get(), Qt::Key_Escape);
    QTest::keyClick(sheet.get(), Qt::Key_Return);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(exporter->cancels.load(), 0);

    exporter->report(0.25);
    ASSERT_TRUE(waitUntil([&] { return sheet->job().progress() == 0.25; }));
    cancel->click();
    EXPECT_EQ(exporter->cancels.load(), 1);
    EXPECT_EQ(sheet->job().phase(), "Cancelling…");
    // A report made before the exporter noticed moves the bar, not the phase.
    exporter->report(0.5);
    ASSERT_TRUE(waitUntil([&] { return sheet->job().progress() == 0.5; }));
    EXPECT_EQ(sheet->job().phase(), "Cancelling…");
    exporter->fail(ExportError::cancelled());
    ASSERT_TRUE(waitUntil([&] { return !sheet->job().isRunning(); }));
    EXPECT_FALSE(sheet->job().finished());
    EXPECT_EQ(sheet->job().phase(), "Export stopped");
    EXPECT_EQ(sheet->job().errorMessage(), "Export was cancelled.");
    EXPECT_TRUE(findByText<QLabel>(*sheet, "Export was cancelled.")->isVisible());
    EXPECT_EQ(sheet->findChild<QProgressBar*>()->value(), 500);
    writePicture(*sheet, "export-sheet-stopped.png");
    // The form does not come back; Return now closes.
    QTest::keyClick(sheet.get(), Qt::Key_Return);
    EXPECT_FALSE(sheet->isVisible());

    // A failure keeps the bar where it stopped and shows the exporter's text.
    ExportJob job(exporter);
    job.start(ExportRequest{});
    exporter->report(0.4);
    exporter->fail(ExportError::nothingToExport());
    ASSERT_TRUE(waitUntil([&] { return !job.isRunning(); }));
    EXPECT_EQ(job.progress(), 0.4);
    EXPECT_EQ(job.phase(), "Export stopped");
    EXPECT_EQ(job.errorMessage(), "The sequence has nothing to export.");
}

TEST_F(ExportSheetTest, OneExportPerSheetEvenWhenClosedMidway) {
    open(withClip(1));
    auto sheet = makeSheet();
    QAbstractButton* exportButton = findByText(*sheet, "Export…");
    exportButton->click();
    exportButton->click(); // the panel is still open: no second one
    ASSERT_EQ(panels.answers.size(), 1u);
    const fs::path target = MediaFixtures::shared().scratch("once.mov");
    panels.answers[0](target);
    panels.answers[0](target); // confirmed twice
    ASSERT_TRUE(waitUntil([&] { return exporter->runCount() == 1; }));
    EXPECT_EQ(exporter->requests.at(0).outputURL, target);
    EXPECT_EQ(exporter->requests.at(0).project, document.project());

    // Closed while running: the export goes on, and its job goes once it has ended.
    QPointer<const ExportJob> job(&sheet->job());
    sheet->reject();
    sheet.reset();
    exporter->report(0.5);
    QCoreApplication::processEvents();
    ASSERT_TRUE(job);
    EXPECT_TRUE(job->isRunning());
    exporter->succeed();
    ASSERT_TRUE(waitUntil([&] { return job.isNull(); }));

    // A panel answered after its sheet has closed starts nothing.
    sheet = makeSheet();
    findByText(*sheet, "Export…")->click();
    sheet->reject();
    panels.answers.back()(target);
    QCoreApplication::processEvents();
    EXPECT_FALSE(sheet->job().isRunning());
    EXPECT_EQ(exporter->runCount(), 1);
}

TEST_F(ExportSheetTest, RefusesToWriteOverTheProjectsOwnMedia) {
    Project p = withClip(1);
    const fs::path source = MediaFixtures::shared().scratch("source.mp4");
    fs::copy_file(MediaFixtures::shared().path(Fixture::h264Movie), source,
                  fs::copy_options::overwrite_existing);
    p.media.mut(0).path = source.string();
    open(p);
    auto sheet = makeSheet();
    codecPicker(*sheet)->setFocus();
    QTest::keyClick(codecPicker(*sheet), Qt::Key_Down);
    QTest::keyClick(codecPicker(*sheet), Qt::Key_Down); // H.264
    findByText(*sheet, "Export…")->click();
    // Named through another way to the same folder, and without its extension.
    panels.answers.at(0)(source.parent_path() / "." / "source");
    EXPECT_FALSE(sheet->job().isRunning());
    EXPECT_EQ(exporter->runCount(), 0);
    EXPECT_TRUE(findByText<QLabel>(
                    *sheet, "The movie cannot be saved over “source.mp4”: the project uses that file as a "
                            "source. Choose another name or folder.")
                    ->isVisible());
    EXPECT_EQ(fs::file_size(source), fs::file_size(MediaFixtures::shared().path(Fixture::h264Movie)));
}

TEST_F(ExportSheetTest, ARealExportFromTheSheetWritesTheMovie) {
    Project p = withClip(1);
    p.sequence.width = 320;
    p.sequence.height = 180;
    open(p);
    ExportSheet::Services services;
    services.savePanel = panels.panel();
    ExportSheet sheet(model, nullptr, services);
    sheet.show();
    writePicture(sheet, "export-sheet-form.png");
    findByText<QCheckBox>(sheet, "Match sequence size and frame rate")->click();
    writePicture(sheet, "export-sheet-own-size.png");
    findByText<QCheckBox>(sheet, "Match sequence size and frame rate")->click();
    codecPicker(sheet)->setFocus();
    for (int i = 0; i < 2; ++i)
        QTest::keyClick(codecPicker(sheet), Qt::Key_Down); // H.264
    QTest::keyClick(&sheet, Qt::Key_Return);
    const fs::path target = MediaFixtures::shared().scratch("from-sheet.mp4");
    panels.answers.at(0)(MediaFixtures::shared().scratch("from-sheet"));
    ASSERT_TRUE(waitUntil([&] { return !sheet.job().isRunning(); }));
    ASSERT_TRUE(sheet.job().finished()) << sheet.job().errorMessage().value_or("").toStdString();
    EXPECT_EQ(sheet.job().phase(), "Exported from-sheet.mp4");
    writePicture(sheet, "export-sheet-finished.png");
    const Written w = inspect(target);
    EXPECT_EQ(w.codec, AV_CODEC_ID_H264);
    EXPECT_EQ(w.width, 320);
    EXPECT_EQ(w.height, 180);
    EXPECT_EQ(w.frames, 24);
}
