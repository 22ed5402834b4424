#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QThreadPool>
#include <condition_variable>
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

// Save panels that stay open until the test answers them.
struct SavePanels {
    std::vector<ExportSheet::SaveRequest> requests;
    std::vector<ExportSheet::Answer> answers;
};

struct ExportSheetTest : SheetFixture {
    // No worker is left waiting for an end that never comes.
    void TearDown() override {
        while (exporter->running() || QThreadPool::globalInstance()->activeThreadCount() > 0) {
            exporter->end(HeldExporter::End::success);
            QCoreApplication::processEvents();
        }
    }

    std::unique_ptr<ExportSheet> makeSheet(bool realExporter = false) {
        ExportSheet::Services services;
        services.savePanel = [this](QWidget*, const ExportSheet::SaveRequest& r, ExportSheet::Answer a) {
            panels.requests.push_back(r);
            panels.answers.push_back(std::move(a));
        };
        if (!realExporter) services.exporter = [e = exporter] { return e; };
        auto sheet = std::make_unique<ExportSheet>(model, nullptr, services);
        sheet->show();
        return sheet;
    }

    // A one-second 320×180 H.264 source, placed whole on V1 for `seconds`.
    Project withClip(double seconds = 1) {
        Project p = ProjectDocument::newProject();
        const MediaItem m = fixtureMovieItem();
        p.media.push_back(m);
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = m.id;
        c.duration = seconds;
        p.sequence.tracks.mut(0).clips.push_back(c);
        return p;
    }

    void chooseCodec(ExportSheet& sheet, int downs) {
        QComboBox* picker = sheet.findChildren<QComboBox*>().at(0);
        picker->setFocus();
        for (int i = 0; i < downs; ++i)
            QTest::keyClick(picker, Qt::Key_Down);
    }

    std::shared_ptr<HeldExporter> exporter = std::make_shared<HeldExporter>();
    SavePanels panels;
};

void retype(sheets::IntegerField* field, const QString& text) {
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, text);
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
    EXPECT_EQ(sheet->summary(), "ProRes 422 HQ  1920×1080  23.976 fps  Whole sequence  .mov");
    EXPECT_TRUE(findByText<QLabel>(*sheet, sheet->summary())->isVisible());
    // Nothing to mark: off and disabled.
    QCheckBox* marks = findByText<QCheckBox>(*sheet, "Use In and Out");
    EXPECT_FALSE(marks->isChecked());
    EXPECT_FALSE(marks->isEnabled());

    // H.264 and HEVC write MPEG-4 files, suggested under the sequence's name; a cancelled panel changes
    // nothing.
    chooseCodec(*sheet, 2);
    EXPECT_EQ(sheet->summary(), "H.264  1920×1080  23.976 fps  Whole sequence  .mp4");
    QTest::keyClick(sheet.get(), Qt::Key_Return);
    panels.answers.at(0)(std::nullopt);
    chooseCodec(*sheet, 1);
    EXPECT_TRUE(sheet->summary().endsWith("  .mp4"));
    findByText(*sheet, "Export…")->click();
    panels.answers.at(1)(std::nullopt);
    for (const auto& r : panels.requests) {
        EXPECT_EQ(r.suggestedName, "Sequence 01.mp4");
        EXPECT_EQ(r.fileType, "MPEG-4 movie");
        EXPECT_EQ(r.confirmTitle, "Export");
    }
    EXPECT_FALSE(sheet->job().isRunning());
    EXPECT_TRUE(findByText(*sheet, "Export…")->isVisible());

    // A sequence with clips has a marked range: a new sheet opens with it ticked.
    sheet.reset();
    open(withClip());
    sheet = makeSheet();
    EXPECT_TRUE(findByText<QCheckBox>(*sheet, "Use In and Out")->isChecked());
    EXPECT_TRUE(findByText<QCheckBox>(*sheet, "Use In and Out")->isEnabled());
    EXPECT_TRUE(sheet->summary().endsWith("  In to Out  .mov"));
}

TEST_F(ExportSheetTest, RejectedSizesAreExplainedAndCannotBeExported) {
    open(withClip());
    auto sheet = makeSheet();
    QAbstractButton* exportButton = findByText(*sheet, "Export…");
    findByText<QCheckBox>(*sheet, "Match sequence size and frame rate")->click();
    // A preset sets the size only.
    findByText(*sheet, "720p")->click();
    EXPECT_EQ(sheet->draft().width, 1280);
    EXPECT_EQ(sheet->draft().height, 720);
    EXPECT_EQ(sheet->draft().rate, (FrameRate{24, 1}));

    auto* width = sheet->findChildren<sheets::IntegerField*>().at(0);
    for (const char* typed : {"0", "-4", "15", "1921", "8194", "100000000000"}) {
        retype(width, typed);
        EXPECT_FALSE(exportButton->isEnabled()) << typed;
        EXPECT_TRUE(
            findByText<QLabel>(*sheet, "The width must be an even number from 16 to 8192.")->isVisible());
        QTest::keyClick(width, Qt::Key_Return);
        EXPECT_TRUE(panels.requests.empty()) << typed;
    }
    writePicture(*sheet, "export-sheet-rejected-size.png");
    for (const char* typed : {"16", "8192"}) {
        retype(width, typed);
        EXPECT_TRUE(exportButton->isEnabled()) << typed;
    }
    retype(width, "wide");
    EXPECT_EQ(sheet->draft().width, 8192) << "text that is no number changes nothing";

    // Matching a sequence that cannot be written says so too.
    findByText<QCheckBox>(*sheet, "Match sequence size and frame rate")->click();
    Project odd = document.project();
    odd.sequence.width = 1921;
    document.setProject(odd);
    EXPECT_TRUE(waitUntil([&] { return !exportButton->isEnabled(); }));
    EXPECT_TRUE(sheet->sizeProblem().value_or("").startsWith("The sequence is 1921×1080."));
}

TEST_F(ExportSheetTest, JobTextsFromProgressToTheEnd) {
    ExportJob job(exporter);
    EXPECT_EQ(job.phase(), "Preparing the sequence…");
    ExportRequest request;
    request.outputURL = "/some/folder/Cut.mov";
    ASSERT_TRUE(job.start(request));
    EXPECT_TRUE(job.isRunning());
    EXPECT_EQ(job.phase(), "Preparing the sequence…");
    EXPECT_EQ(job.progress(), 0);
    EXPECT_FALSE(job.start(request)) << "one export at a time";
    for (auto [p, text] : {std::pair{0.004, "Encoding 0%"},
                           {0.005, "Encoding 1%"},
                           {0.125, "Encoding 13%"},
                           {0.995, "Encoding 100%"}}) {
        exporter->report(p);
        ASSERT_TRUE(waitUntil([&] { return job.progress() == p; })) << p;
        EXPECT_EQ(job.phase(), text);
    }
    exporter->end(HeldExporter::End::success);
    ASSERT_TRUE(waitUntil([&] { return !job.isRunning(); }));
    EXPECT_TRUE(job.finished());
    EXPECT_EQ(job.progress(), 1);
    EXPECT_EQ(job.phase(), "Exported Cut.mov");
    EXPECT_FALSE(job.errorMessage());

    // A failure keeps the bar where it stopped and shows the exporter's text.
    ExportJob failing(exporter);
    failing.start(request);
    exporter->report(0.4);
    exporter->end(HeldExporter::End::empty);
    ASSERT_TRUE(waitUntil([&] { return !failing.isRunning(); }));
    EXPECT_EQ(failing.progress(), 0.4);
    EXPECT_EQ(failing.phase(), "Export stopped");
    EXPECT_EQ(failing.errorMessage(), "The sequence has nothing to export.");
    EXPECT_FALSE(failing.finished());
}

TEST_F(ExportSheetTest, CancellingHoldsItsPhaseUntilTheExportStops) {
    open(withClip());
    auto sheet = makeSheet();
    findByText(*sheet, "Export…")->click();
    panels.answers.at(0)(MediaFixtures::shared().scratch("cancelled.mov"));
    ASSERT_TRUE(sheet->job().isRunning());
    // No key closes a running export.
    QTest::keyClick(sheet.get(), Qt::Key_Escape);
    QTest::keyClick(sheet.get(), Qt::Key_Return);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(exporter->cancels.load(), 0);

    exporter->report(0.25);
    findByText(*sheet, "Cancel Export")->click();
    EXPECT_EQ(exporter->cancels.load(), 1);
    EXPECT_EQ(sheet->job().phase(), "Cancelling…");
    // Reports queued before the cancel, or made before the exporter noticed it, move the bar only.
    exporter->report(0.5);
    ASSERT_TRUE(waitUntil([&] { return sheet->job().progress() == 0.5; }));
    EXPECT_EQ(sheet->job().phase(), "Cancelling…");
    exporter->end(HeldExporter::End::cancelled);
    ASSERT_TRUE(waitUntil([&] { return !sheet->job().isRunning(); }));
    EXPECT_EQ(sheet->job().phase(), "Export stopped");
    EXPECT_EQ(sheet->job().errorMessage(), "Export was cancelled.");
    EXPECT_TRUE(findByText<QLabel>(*sheet, "Export was cancelled.")->isVisible());
    EXPECT_EQ(sheet->findChild<QProgressBar*>()->value(), 500);
    writePicture(*sheet, "export-sheet-stopped.png");
    // The form does not come back; Return now closes.
    QTest::keyClick(sheet.get(), Qt::Key_Return);
    EXPECT_FALSE(sheet->isVisible());
}

// A movie whose read-back could not run is exported all the same, and the sheet says it is unchecked.
TEST_F(ExportSheetTest, AMovieKeptUncheckedIsExportedAndSaysSo) {
    open(withClip());
    auto sheet = makeSheet();
    findByText(*sheet, "Export…")->click();
    panels.answers.at(0)(MediaFixtures::shared().scratch("unchecked.mov"));
    exporter->report(0.5);
    exporter->end(HeldExporter::End::unchecked);
    ASSERT_TRUE(waitUntil([&] { return !sheet->job().isRunning(); }));
    EXPECT_TRUE(sheet->job().finished());
    EXPECT_EQ(sheet->job().phase(), "Exported unchecked.mov");
    EXPECT_FALSE(sheet->job().errorMessage());
    EXPECT_TRUE(findByText<QLabel>(*sheet, HeldExporter::uncheckedNote)->isVisible());
    writePicture(*sheet, "export-sheet-unchecked.png");
}

TEST_F(ExportSheetTest, OneExportPerSheetEvenWhenClosedMidway) {
    open(withClip());
    auto sheet = makeSheet();
    findByText(*sheet, "Export…")->click();
    findByText(*sheet, "Export…")->click(); // its panel is still open: no second one
    ASSERT_EQ(panels.answers.size(), 1u);
    const fs::path target = MediaFixtures::shared().scratch("once.mov");
    panels.answers[0](target);
    panels.answers[0](target); // confirmed twice
    exporter->report(0.1);
    EXPECT_EQ(exporter->runs(), 1u);
    EXPECT_EQ(exporter->requests.at(0).outputURL, target);
    EXPECT_EQ(exporter->requests.at(0).project, document.project());

    // Closed while running: the export goes on, and its job goes once the export has ended.
    QPointer<const ExportJob> job(&sheet->job());
    sheet->reject();
    sheet.reset();
    exporter->report(0.5);
    ASSERT_TRUE(waitUntil([&] { return job && job->progress() == 0.5; }));
    exporter->end(HeldExporter::End::success);
    ASSERT_TRUE(waitUntil([&] { return job.isNull(); }));

    // A panel answered after its sheet has closed starts nothing.
    sheet = makeSheet();
    findByText(*sheet, "Export…")->click();
    sheet->reject();
    panels.answers.back()(target);
    EXPECT_FALSE(sheet->job().isRunning());
    EXPECT_EQ(exporter->runs(), 1u);
}

TEST_F(ExportSheetTest, RefusesToWriteOverTheProjectsOwnMedia) {
    Project p = withClip();
    const fs::path source = MediaFixtures::shared().scratch("source.mp4");
    fs::copy_file(MediaFixtures::shared().path(Fixture::h264Movie), source,
                  fs::copy_options::overwrite_existing);
    p.media.mut(0).path = source.string();
    open(p);
    auto sheet = makeSheet();
    chooseCodec(*sheet, 2); // H.264
    findByText(*sheet, "Export…")->click();
    // Named by another way to the same folder, and without its extension.
    panels.answers.at(0)(source.parent_path() / "." / "source");
    EXPECT_FALSE(sheet->job().isRunning());
    EXPECT_TRUE(findByText<QLabel>(*sheet,
                                   "The movie cannot be saved over “source.mp4”: the project uses that "
                                   "file as a source. Choose another name or folder.")
                    ->isVisible());
    EXPECT_EQ(fs::file_size(source), fs::file_size(MediaFixtures::shared().path(Fixture::h264Movie)));
}

TEST_F(ExportSheetTest, ARealExportFromTheSheetWritesTheMovie) {
    Project p = withClip();
    p.sequence.width = 320;
    p.sequence.height = 180;
    open(p);
    auto sheet = makeSheet(true);
    writePicture(*sheet, "export-sheet-form.png");
    findByText<QCheckBox>(*sheet, "Match sequence size and frame rate")->click();
    writePicture(*sheet, "export-sheet-own-size.png");
    findByText<QCheckBox>(*sheet, "Match sequence size and frame rate")->click();
    chooseCodec(*sheet, 2); // H.264
    QTest::keyClick(sheet.get(), Qt::Key_Return);
    panels.answers.at(0)(MediaFixtures::shared().scratch("from-sheet"));
    ASSERT_TRUE(waitUntil([&] { return !sheet->job().isRunning(); }));
    ASSERT_TRUE(sheet->job().finished()) << sheet->job().errorMessage().value_or("").toStdString();
    EXPECT_EQ(sheet->job().phase(), "Exported from-sheet.mp4");
    writePicture(*sheet, "export-sheet-finished.png");
    const Written w = inspect(MediaFixtures::shared().scratch("from-sheet.mp4"));
    EXPECT_EQ(w.codec, AV_CODEC_ID_H264);
    EXPECT_EQ(w.width, 320);
    EXPECT_EQ(w.height, 180);
    EXPECT_EQ(w.frames, 24);
}
