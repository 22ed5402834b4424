#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sched.h>
#include <semaphore>
#include <set>
#include <stop_token>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "App/DocumentController.hpp"
#include "App/EditorCommands.hpp"
#include "App/MediaPlayerControl.hpp"
#include "App/WorkService.hpp"
#include "EditorModelTestAccess.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Foundation/Cores.hpp"
#include "Platform/Foundation/WindowTurn.hpp"
#include "SheetTestSupport.hpp"
#include "Spawned.hpp"
#include "UI/Bin/MediaBinView.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Sheets/ShortcutsSheet.hpp"
#include "UI/Shell/DocumentWindows.hpp"
#include "UI/Shell/EditorApplication.hpp"
#include "UI/Shell/EditorWindow.hpp"
#include "UI/Shell/MenuCommands.hpp"
#include "UI/Shell/SplashWindow.hpp"
#include "UI/Timeline/TimelineCanvas.hpp"
#include "UI/Timeline/TimelineScrollView.hpp"

using namespace osterveil;
using osterveil::testsupport::findByText;
using osterveil::testsupport::Fixture;
using osterveil::testsupport::HeldExporter;
using osterveil::testsupport::MediaFixtures;
using osterveil::testsupport::writePicture;
namespace fs = std::filesystem;

namespace {

// The real windows, with the user's answers to the panels and questions given by the test.
class ScriptedWindows : public DocumentWindows {
  public:
    SaveChoice askToSave(const ProjectDocument& d, const QString& name) override {
        asked.push_back(name);
        if (!whileAsked) return answer;
        answerOnScreen(answer == SaveChoice::save       ? QMessageBox::AcceptRole
                       : answer == SaveChoice::dontSave ? QMessageBox::DestructiveRole
                                                        : QMessageBox::RejectRole);
        return DocumentWindows::askToSave(d, name);
    }
    std::vector<fs::path> chooseFilesToOpen() override { return {}; }
    std::optional<fs::path> chooseSaveLocation(const ProjectDocument&, const QString&) override {
        return saveLocation;
    }
    void showError(const QString& title, const QString& message) override {
        errors.push_back(title + "\n" + message);
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<QProgressDialog*>(w)) ++panelsUnderAlerts;
    }

    ChangedFileChoice askAboutChangedFile(const ProjectDocument&, const QString& name) override {
        askedAboutChange.push_back(name);
        return changedAnswer;
    }
    ExportChoice askToCancelExport(const ProjectDocument& d, const QString& name) override {
        asked.push_back("export: " + name);
        if (!whileAsked) return exportAnswer;
        answerOnScreen(exportAnswer == ExportChoice::cancelExport ? QMessageBox::DestructiveRole
                                                                  : QMessageBox::RejectRole);
        return DocumentWindows::askToCancelExport(d, name);
    }
    // The program's own question is up in a loop of its own: `whileAsked` runs once with it on screen,
    // and then the scripted answer is clicked, if the question is still there.
    void answerOnScreen(QMessageBox::ButtonRole role) {
        QTimer::singleShot(0, this, [role, during = std::exchange(whileAsked, nullptr)] {
            const QPointer<QMessageBox> box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            EXPECT_NE(box, nullptr) << "no question on screen";
            during();
            if (!box || !box->isVisible()) return;
            for (QAbstractButton* button : box->buttons())
                if (box->buttonRole(button) == role) return button->click();
        });
    }

    SaveChoice answer = SaveChoice::cancel;
    ChangedFileChoice changedAnswer = ChangedFileChoice::cancel;
    QStringList askedAboutChange;
    ExportChoice exportAnswer = ExportChoice::keepExporting;
    std::optional<fs::path> saveLocation;
    // Set, the next question is the real one (see `answerOnScreen`).
    std::function<void()> whileAsked;
    // The documents asked about, in order; the export question's are marked.
    QStringList asked;
    QStringList errors;
    // "Opening…" panels still there when an alert came.
    int panelsUnderAlerts = 0;
};

// Holds a document's saves on their worker until released, and counts them.
class HeldSaves {
  public:
    explicit HeldSaves(ProjectDocument& d) {
        d.setFileWriter([gate = gate_](const std::string& bytes, const fs::path& file) {
            {
                std::unique_lock lock(gate->mutex);
                ++gate->writes;
                gate->open.wait(lock, [&] { return gate->released; });
            }
            return ProjectDocument::write(bytes, file);
        });
    }
    ~HeldSaves() { release(); }
    void release() {
        {
            std::lock_guard lock(gate_->mutex);
            gate_->released = true;
        }
        gate_->open.notify_all();
    }
    int writes() const {
        std::lock_guard lock(gate_->mutex);
        return gate_->writes;
    }

  private:
    struct Gate {
        std::mutex mutex;
        std::condition_variable open;
        bool released = false;
        int writes = 0;
    };
    std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
};

// Keeps every thread that reads projects busy until released, so that an open waits on its panel.
class BusyReaders {
  public:
    // More jobs than the lane has threads: what is queued after them waits until they are let go.
    static constexpr std::ptrdiff_t jobs = 16;

    explicit BusyReaders(const std::stop_token& owner) {
        for (int i = 0; i < jobs; ++i)
            WorkService::shared().run(WorkService::Lane::documents, owner,
                                      [gate = gate_](const std::stop_token&) { gate->acquire(); });
    }
    ~BusyReaders() { release(); }
    void release() {
        if (!std::exchange(released_, true)) gate_->release(jobs);
    }

  private:
    std::shared_ptr<std::counting_semaphore<>> gate_ = std::make_shared<std::counting_semaphore<>>(0);
    bool released_ = false;
};

// The "Opening…" panel on screen, once it has come up for an open.
QPointer<QProgressDialog> openingPanel() {
    QPointer<QProgressDialog> shown;
    (void)QTest::qWaitFor(
        [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* panel = qobject_cast<QProgressDialog*>(w); panel && panel->isVisible())
                    shown = panel;
            return !shown.isNull();
        },
        20000);
    return shown;
}

struct Shell : ::testing::Test {
    Shell() { windows.setController(&controller); }
    ~Shell() override {
        // No export is left waiting for an end that never comes.
        for (const auto& exporter : heldExporters)
            exporter->end(HeldExporter::End::success);
        for (ProjectDocument* d : controller.documents()) {
            if (EditorWindow* w = windows.window(*d)) {
                w->closeWithoutAsking();
                w->close();
            }
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    EditorWindow& window(ProjectDocument& d) {
        EditorWindow* w = windows.window(d);
        EXPECT_NE(w, nullptr);
        return *w;
    }
    static void activate(EditorWindow& w) {
        w.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
        ASSERT_EQ(EditorWindow::focused(), &w);
    }
    static void settle() {
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    }
    fs::path path(const std::string& name) const { return fs::path(dir.path().toStdString()) / name; }
    static std::string bytes(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // A project with one selected clip on V1 of the window's document.
    static Uuid placeClip(EditorWindow& w) {
        Project p = w.document().project();
        TimelineClip c;
        c.id = Uuid::make();
        c.name = "A001.mov";
        c.duration = 4;
        p.sequence.tracks.mut(0).clips.push_back(c);
        w.document().setProject(p);
        w.model().selectOnly(c.id);
        settle();
        return c.id;
    }
    // Opens a file as the user would and waits for the outcome.
    ProjectDocument* open(const fs::path& file) {
        bool finished = false;
        ProjectDocument* opened = nullptr;
        controller.openFile(file, [&](ProjectDocument* d) {
            opened = d;
            finished = true;
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return finished; }, 20000));
        return opened;
    }
    // Saves as Ctrl+S does and waits for the write to end.
    bool save(ProjectDocument& d) {
        const bool started = controller.save(d);
        d.waitForSaves();
        return started;
    }
    // The window manager's close of a window, its title bar's ✕, handed straight to the window: even
    // where Qt would drop it because a modal question is up.
    static bool closeFromWindowManager(QWidget& w) {
        QCloseEvent close;
        QCoreApplication::sendEvent(w.windowHandle(), &close);
        return close.isAccepted();
    }
    static QAction* fileItem(EditorWindow& w, const QString& text) {
        for (QAction* a : w.menuBar()->actions()[0]->menu()->actions())
            if (a->text() == text) return a;
        ADD_FAILURE() << "no File item " << text.toStdString();
        return nullptr;
    }
    // Exports from the window's sheet through `exporter`, which runs until the test ends it.
    ExportSheet* startHeldExport(EditorWindow& w, std::shared_ptr<HeldExporter> exporter,
                                 const fs::path& target) {
        heldExporters.push_back(exporter);
        placeClip(w);
        w.setExportServices({.savePanel = [target](QWidget*, const ExportSheet::SaveRequest&,
                                                   const ExportSheet::Answer& answer) { answer(target); },
                             .exporter = [exporter] { return exporter; }});
        w.model().setShowExport(true);
        settle();
        auto* sheet = qobject_cast<ExportSheet*>(w.presentedSheet());
        if (!sheet) return nullptr;
        sheet->chooseDestination();
        return sheet->job().isRunning() ? sheet : nullptr;
    }
    static std::size_t clipCount(const EditorWindow& w) {
        return w.document().project().sequence.tracks[0].clips.size();
    }
    // Five minutes of a small movie in the window's document, exported from its sheet to `target`: the
    // sheet once the export has reported progress, still far from its end; none if it did not start.
    ExportSheet* startLongExport(EditorWindow& w, const fs::path& target) {
        Project p = w.document().project();
        p.sequence.width = 320;
        p.sequence.height = 180;
        const MediaItem m = testsupport::fixtureMovieItem();
        p.media.push_back(m);
        for (int i = 0; i < 300; ++i) {
            TimelineClip c;
            c.id = Uuid::make();
            c.mediaID = m.id;
            c.start = i;
            c.duration = 1;
            p.sequence.tracks.mut(0).clips.push_back(c);
        }
        w.document().setProject(p);
        settle();
        w.setExportServices({.savePanel = [target](QWidget*, const ExportSheet::SaveRequest&,
                                                   const ExportSheet::Answer& answer) { answer(target); }});
        w.model().setShowExport(true);
        settle();
        auto* sheet = qobject_cast<ExportSheet*>(w.presentedSheet());
        if (!sheet) return nullptr;
        sheet->chooseDestination();
        const QPointer<const ExportJob> job(&sheet->job());
        if (!QTest::qWaitFor([&] { return job && job->progress() > 0; }, 60000)) return nullptr;
        return sheet;
    }

    QTemporaryDir dir;
    ScriptedWindows windows;
    DocumentController controller{windows};
    std::vector<std::shared_ptr<HeldExporter>> heldExporters;
};

} // namespace

TEST(Menus, WithNoEditorWindowEveryProgramItemIsDisabled) {
    QMenuBar bar;
    QMenu* file = bar.addMenu("File");
    MenuCommands commands(&bar, file, nullptr, &EditorWindow::focusedActions);
    ASSERT_EQ(EditorWindow::focused(), nullptr);
    ASSERT_EQ(commands.governedItems().size(), 28u); // Export, 2 + 23 + 1, and the Import submenu
    for (QAction* a : commands.governedItems())
        EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
    EXPECT_FALSE(commands.importMenu()->menuAction()->isEnabled());
    commands.item("Split at Playhead")->trigger(); // does nothing, and does not fail

    // The Timeline menu: 23 items in five runs.
    QStringList shape;
    for (QAction* a : commands.timelineMenu()->actions())
        shape << (a->isSeparator() ? "—" : a->text());
    EXPECT_EQ(shape.indexOf("—", 0), 3);
    EXPECT_EQ(shape.count("—"), 4);
    EXPECT_EQ(shape[shape.indexOf("Slide Right") + 1], "—");
    EXPECT_EQ(shape[shape.indexOf("Nest") + 1], "—");
    EXPECT_EQ(shape[shape.indexOf("Select All") + 1], "—");
    EXPECT_EQ(shape.size(), 27);

    // Linux keys: Ctrl for Command, both delete keys, and Ctrl+= for Zoom In.
    EXPECT_EQ(commands.item("Media…")->shortcut(), QKeySequence("Ctrl+I"));
    EXPECT_EQ(commands.item("Lift Delete")->shortcuts(),
              (QList<QKeySequence>{QKeySequence(Qt::Key_Backspace), QKeySequence(Qt::Key_Delete)}));
    EXPECT_EQ(commands.item("Ripple Delete")->shortcuts().size(), 2);
    EXPECT_TRUE(commands.item("Zoom In")->shortcuts().contains(QKeySequence("Ctrl+=")));
    EXPECT_TRUE(commands.item("Premiere XML…")->shortcut().isEmpty());
}

// Each command's keys as the key map decides them, as its menu item carries them and as the shortcuts
// sheet writes them: one command, the same keys, everywhere.
TEST(Menus, TheKeyMapTheMenusAndTheShortcutsSheetAgreeOnEveryCommand) {
    ShortcutsSheet sheet;
    const QList<QLabel*> labels = sheet.findChildren<QLabel*>();
    const auto& rows = EditorCommands::shortcutRows();
    ASSERT_EQ(labels.size(), 1 + 2 * qsizetype(rows.size()));
    const auto keysOfRow = [&](std::size_t r) { return labels[qsizetype(1 + 2 * r)]->text(); };
    const auto textOfRow = [&](std::size_t r) { return labels[qsizetype(2 + 2 * r)]->text(); };

    // Menus over a record whose every member notes the command it was made for.
    QMenuBar bar;
    QMenu* file = bar.addMenu("File");
    std::optional<Command> ran;
    EditorActions record;
    for (const CommandDefinition& c : EditorCommands::all())
        if (c.action) record.*(c.action) = [&ran, command = c.command] { ran = command; };
    MenuCommands menus(&bar, file, nullptr, [&] { return std::optional(record); });

    for (const CommandDefinition& c : EditorCommands::all()) {
        SCOPED_TRACE(c.name.toStdString());
        for (const KeyBinding& k : c.keys) {
            const QChar typed(k.character);
            const KeyPress press{k.key ? k.key : int(typed.toUpper().unicode()), k.held,
                                 k.key ? QString()
                                       : QString(k.held & Qt::ShiftModifier ? typed.toUpper() : typed)};
            const auto found = EditorCommands::match(press);
            ASSERT_TRUE(found.has_value());
            EXPECT_EQ(found->command, c.command);
        }
        if (!c.menuTitle.isEmpty()) {
            QAction* item = menus.item(c.menuTitle);
            ASSERT_NE(item, nullptr);
            EXPECT_EQ(item->shortcuts(), c.menuKeys);
            ran.reset();
            item->trigger();
            EXPECT_EQ(ran, c.command);
        }
        const QString key = EditorCommands::keyText(c.command);
        if (key.isEmpty()) continue;
        // A row that lists several keys may write their shared modifier once: "Alt+← →".
        const qsizetype cut = key.size() > 1 ? key.lastIndexOf(QLatin1Char('+'), key.size() - 2) : -1;
        const QString modifiers = key.left(cut + 1), bare = key.mid(cut + 1);
        bool shown = false;
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const auto& listed = rows[r].commands;
            const auto& named = rows[r].mentioned;
            if (std::find(listed.begin(), listed.end(), c.command) != listed.end()) {
                EXPECT_TRUE(keysOfRow(r).contains(bare) && keysOfRow(r).contains(modifiers))
                    << keysOfRow(r).toStdString() << " for " << key.toStdString();
                shown = true;
            }
            if (std::find(named.begin(), named.end(), c.command) != named.end()) {
                EXPECT_TRUE(textOfRow(r).contains(key)) << textOfRow(r).toStdString();
                shown = true;
            }
        }
        // The card's rows are fixed: Escape (calls a gesture off) and Ctrl+A are the keys it leaves out.
        EXPECT_TRUE(shown || c.command == Command::cancelGesture || c.command == Command::selectAll)
            << key.toStdString();
    }
}

TEST_F(Shell, AMenuCommandReachesOnlyTheFocusedWindow) {
    EditorWindow& a = window(controller.newDocument());
    EditorWindow& b = window(controller.newDocument());
    EXPECT_EQ(a.windowTitle(), "Untitled[*]");
    EXPECT_EQ(b.windowTitle(), "Untitled 2[*]");
    EXPECT_EQ(a.size(), EditorWindow::defaultSize);

    activate(a);
    EXPECT_TRUE(a.commands()->item("Zoom In")->isEnabled());
    EXPECT_FALSE(b.commands()->item("Zoom In")->isEnabled());
    a.commands()->item("Zoom In")->trigger();
    b.commands()->item("Zoom In")->trigger(); // not focused: nothing
    EXPECT_DOUBLE_EQ(a.model().pixelsPerSecond(), 52 * 1.25);
    EXPECT_DOUBLE_EQ(b.model().pixelsPerSecond(), 52);

    // The key equivalent goes to the focused window's menu; Ctrl+= is Zoom In too.
    activate(b);
    EXPECT_FALSE(a.commands()->item("Zoom In")->isEnabled());
    b.model().setPixelsPerSecond(450);
    QTest::keyClick(b.windowHandle(), Qt::Key_Equal, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(b.model().pixelsPerSecond(), 500);
    EXPECT_DOUBLE_EQ(a.model().pixelsPerSecond(), 52 * 1.25);

    // A sheet flag presents its sheet in that window only, and closing the sheet clears the flag.
    b.commands()->item("Keyboard Shortcuts")->trigger();
    settle();
    ASSERT_NE(b.presentedSheet(), nullptr);
    EXPECT_EQ(a.presentedSheet(), nullptr);
    b.presentedSheet()->reject();
    settle();
    EXPECT_FALSE(b.model().showShortcuts());
    EXPECT_EQ(b.presentedSheet(), nullptr);
}

TEST_F(Shell, BackspaceInAFocusedLineEditEditsTheTextAndDeletesNoClip) {
    EditorWindow& w = window(controller.newDocument());
    activate(w);
    placeClip(w);
    auto* field = new QLineEdit(w.centralWidget());
    field->show();
    field->setFocus();
    QTest::keyClick(w.windowHandle(), Qt::Key_C, Qt::NoModifier);
    QTest::keyClick(w.windowHandle(), Qt::Key_V, Qt::NoModifier);
    QTest::keyClick(w.windowHandle(), Qt::Key_Backspace);
    QTest::keyClick(w.windowHandle(), Qt::Key_Delete);
    settle();
    EXPECT_EQ(field->text(), "c");
    EXPECT_EQ(clipCount(w), 1u);
    EXPECT_EQ(w.model().tool(), EditTool::select); // "c" was typed, not taken as the razor
    EXPECT_EQ(w.document().undoStack()->count(), 0);

    // Out of the field, Backspace lifts the selected clip.
    w.centralWidget()->setFocus();
    QTest::keyClick(w.windowHandle(), Qt::Key_Backspace);
    settle();
    EXPECT_EQ(clipCount(w), 0u);
    EXPECT_EQ(w.document().undoStack()->undoText(), "Delete");
}

TEST_F(Shell, SingleKeysReachOnlyTheActiveWindowAndStandAsideForASlider) {
    EditorWindow& a = window(controller.newDocument());
    EditorWindow& b = window(controller.newDocument());
    activate(a);
    a.centralWidget()->setFocus();
    QTest::keyClick(a.windowHandle(), Qt::Key_C);
    EXPECT_EQ(a.model().tool(), EditTool::razor);
    EXPECT_EQ(b.model().tool(), EditTool::select);

    // A focused slider keeps the arrows; elsewhere they step the playhead (which the player holds
    // within the sequence, so the sequence gets a title to step over).
    a.model().addTitle();
    const media::Player& player = dynamic_cast<MediaPlayerControl&>(a.model().player()).player();
    ASSERT_TRUE(QTest::qWaitFor([&] { return player.item() && player.item()->duration() > 0; }, 60000));
    auto* slider = new QSlider(Qt::Horizontal, a.centralWidget());
    slider->setRange(0, 10);
    slider->show();
    slider->setFocus();
    QTest::keyClick(a.windowHandle(), Qt::Key_Right);
    settle();
    EXPECT_EQ(slider->value(), 1);
    EXPECT_EQ(a.model().currentTime(), 0);
    a.centralWidget()->setFocus();
    QTest::keyClick(a.windowHandle(), Qt::Key_Right);
    settle();
    EXPECT_EQ(slider->value(), 1);
    EXPECT_DOUBLE_EQ(a.model().currentTime(), 1.0 / 24);
}

TEST_F(Shell, OpenEditSaveCloseAndReopenRoundTripsTheProject) {
    ProjectDocument& d = controller.newDocument();
    EditorWindow& w = window(d);
    QAction* undo = nullptr;
    for (QAction* a : w.menuBar()->actions()[1]->menu()->actions())
        if (a->text().startsWith("Undo")) undo = a;
    ASSERT_NE(undo, nullptr);

    w.model().addTitle();
    settle();
    EXPECT_TRUE(w.isWindowModified());
    EXPECT_EQ(undo->text(), "Undo Add Title");
    undo->trigger();
    settle();
    EXPECT_FALSE(w.isWindowModified());
    w.document().undoStack()->redo();
    settle();
    EXPECT_TRUE(w.isWindowModified());

    // The first save asks where; the extension is added.
    windows.saveLocation = path("Cut");
    ASSERT_TRUE(save(d));
    const fs::path file = path("Cut.osterveil");
    EXPECT_FALSE(w.isWindowModified());
    EXPECT_EQ(w.windowTitle(), "Cut.osterveil[*]");
    const std::string saved = bytes(file);
    const Project edited = d.project();
    EXPECT_TRUE(w.close());
    settle();
    EXPECT_TRUE(controller.documents().empty());
    EXPECT_TRUE(windows.asked.isEmpty());

    ProjectDocument* reopened = open(file);
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(reopened->project(), edited);
    EXPECT_EQ(open(file), reopened); // the same file is the same window
    ASSERT_TRUE(save(*reopened));
    EXPECT_EQ(bytes(file), saved);
    EXPECT_TRUE(windows.errors.isEmpty());
}

TEST_F(Shell, ClosingWithUnsavedChangesAsksAndCancelKeepsTheWindow) {
    ProjectDocument& d = controller.newDocument();
    EditorWindow& w = window(d);
    w.model().addTitle();
    settle();

    windows.answer = SaveChoice::cancel;
    EXPECT_FALSE(w.close());
    EXPECT_FALSE(controller.quit());
    EXPECT_EQ(windows.asked, (QStringList{"Untitled", "Untitled"}));
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(controller.documents().size(), 1u);

    windows.answer = SaveChoice::dontSave;
    EXPECT_TRUE(controller.quit());
    settle();
    EXPECT_TRUE(controller.documents().empty());
}

// Ctrl+Z reaches the history through the model, which first calls off a gesture still open.
TEST_F(Shell, CtrlZDuringAGestureCallsItOffBeforeUndoing) {
    ProjectDocument& d = controller.newDocument();
    EditorWindow& w = window(d);
    activate(w);
    const Uuid c = placeClip(w);
    const Project placed = d.project();
    w.model().addTitle();
    settle();

    w.model().beginTransientEdit();
    w.model().liveClip(c, [](TimelineClip& clip) { clip.start = 5; });
    QTest::keyClick(w.windowHandle(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_FALSE(w.model().isTransientEditOpen());
    EXPECT_EQ(d.project(), placed);
    EXPECT_EQ(d.undoStack()->redoText(), "Add Title");
    QTest::keyClick(w.windowHandle(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(d.undoStack()->index(), 1);
}

TEST_F(Shell, ClosingOrQuittingDuringAnExportAsksFirstAndCancelsItCleanlyOrKeepsEverything) {
    // An old movie where the new one goes, and a sequence long enough to be still exporting when asked.
    const fs::path target = path("Cut.mov");
    fs::copy_file(MediaFixtures::shared().path(Fixture::proresMovie), target);
    const std::string oldMovie = bytes(target);
    ProjectDocument& d = controller.newDocument();
    EditorWindow& w = window(d);
    w.model().addVideoTrack(); // and unsaved
    ExportSheet* sheet = startLongExport(w, target);
    ASSERT_NE(sheet, nullptr);
    QPointer<const ExportJob> job(&sheet->job());
    QString ended;
    QObject listening; // the window goes before the export ends
    QObject::connect(job, &ExportJob::changed, &listening,
                     [&] { ended = job->errorMessage().value_or(QString()); });
    const auto untouched = [&] {
        EXPECT_TRUE(w.isVisible());
        EXPECT_EQ(w.presentedSheet(), sheet);
        EXPECT_TRUE(job->isRunning());
        EXPECT_TRUE(job->phase().startsWith("Encoding")) << job->phase().toStdString();
        EXPECT_EQ(controller.documents().size(), 1u);
    };

    // Keep Exporting: nothing more is asked, and the window and its export go on.
    windows.exportAnswer = ExportChoice::keepExporting;
    EXPECT_FALSE(w.close());
    EXPECT_EQ(windows.asked, QStringList{"export: Untitled"});
    untouched();

    // The export question comes first; nothing is cancelled until every answer lets the window go.
    windows.exportAnswer = ExportChoice::cancelExport;
    windows.answer = SaveChoice::cancel;
    EXPECT_FALSE(controller.quit());
    EXPECT_EQ(windows.asked, (QStringList{"export: Untitled", "export: Untitled", "Untitled"}));
    untouched();

    // Cancel Export and Don't Save: the program may end; the export stops at once, leaving no part of
    // the new movie and the old one as it was.
    windows.answer = SaveChoice::dontSave;
    EXPECT_TRUE(controller.quit());
    ASSERT_TRUE(QTest::qWaitFor([&] { return job.isNull(); }, 60000));
    EXPECT_TRUE(controller.documents().empty());
    EXPECT_EQ(ended, "Export was cancelled.");
    EXPECT_TRUE(bytes(target) == oldMovie) << "the old movie was replaced";
    for (const auto& entry : fs::directory_iterator(path("")))
        EXPECT_EQ(entry.path(), target) << "left behind: " << entry.path();

    // What the program asks in their place.
    const std::unique_ptr<QMessageBox> question = DocumentWindows::exportQuestion(nullptr, "Cut.osterveil");
    EXPECT_EQ(question->text(), "An export is in progress in “Cut.osterveil”. Do you want to cancel it?");
    ASSERT_EQ(question->buttons().size(), 2);
    QAbstractButton* cancel = findByText(*question, "Cancel Export");
    QAbstractButton* keep = findByText(*question, "Keep Exporting");
    EXPECT_EQ(question->buttonRole(cancel), QMessageBox::DestructiveRole);
    EXPECT_EQ(static_cast<QAbstractButton*>(question->defaultButton()), keep);
    EXPECT_EQ(question->escapeButton(), keep);
    question->show();
    writePicture(*question, "shell/export-question.png");
}

TEST_F(Shell, SheetsLeaveTheEditorsCloseAndQuitTheirQuestionsAndTheExportWindowStaysWhileItsExportRuns) {
    ProjectDocument& d = controller.newDocument();
    EditorWindow& w = window(d);
    w.model().addVideoTrack();
    const Project edited = d.project();

    // With the sequence settings up, a name typed and not applied, no modal window stands between the
    // editor and the window manager, which would drop the close its ✕ asks for; the editor stands still
    // behind the sheet.
    w.model().setShowSequenceSettings(true);
    settle();
    QPointer<QDialog> settings = w.presentedSheet();
    ASSERT_NE(settings, nullptr);
    settings->findChild<QLineEdit*>()->setText("Draft");
    EXPECT_EQ(QGuiApplication::modalWindow(), nullptr);
    EXPECT_FALSE(w.centralWidget()->isEnabled());
    EXPECT_FALSE(w.commands()->item("Zoom In")->isEnabled());
    // Ctrl+Q from the sheet and the editor's ✕ ask about the unsaved edits as they do without it;
    // Cancel keeps the window, the sheet and the project as they were.
    windows.answer = SaveChoice::cancel;
    QTest::keyClick(settings->windowHandle(), Qt::Key_Q, Qt::ControlModifier);
    w.windowHandle()->close();
    EXPECT_EQ(windows.asked, (QStringList{"Untitled", "Untitled"}));
    EXPECT_TRUE(w.isVisible());
    ASSERT_TRUE(settings && settings->isVisible());
    EXPECT_EQ(d.project(), edited);
    settings->reject();
    settle();
    EXPECT_TRUE(w.centralWidget()->isEnabled());
    EXPECT_EQ(d.project(), edited);
    windows.asked.clear();

    QPointer<ExportSheet> sheet = startLongExport(w, path("Cut.mov"));
    ASSERT_NE(sheet, nullptr);
    QPointer<const ExportJob> job(&sheet->job());
    sheet->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(sheet));

    // Its own ✕ and Escape leave it up: the export would run on unseen and end without a word.
    sheet->windowHandle()->close();
    QTest::keyClick(sheet->windowHandle(), Qt::Key_Escape);
    settle();
    ASSERT_TRUE(sheet && sheet->isVisible());
    EXPECT_TRUE(job->isRunning());

    // The editor stands still behind it, yet no modal window stands between the editor and the window
    // manager, which would drop the close its ✕ asks for.
    EXPECT_EQ(QGuiApplication::modalWindow(), nullptr);
    EXPECT_FALSE(w.centralWidget()->isEnabled());
    EXPECT_FALSE(w.commands()->item("Zoom In")->isEnabled());

    // Ctrl+Q from the export window and the editor's ✕ ask the export question; keeping the export
    // leaves everything as it was.
    windows.exportAnswer = ExportChoice::keepExporting;
    QTest::keyClick(sheet->windowHandle(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(windows.asked, QStringList{"export: Untitled"});
    w.windowHandle()->close();
    EXPECT_EQ(windows.asked, (QStringList{"export: Untitled", "export: Untitled"}));
    EXPECT_TRUE(w.isVisible());
    ASSERT_TRUE(sheet && sheet->isVisible());
    EXPECT_TRUE(job->isRunning());

    // Cancelling it lets the window go, and the export with it.
    windows.exportAnswer = ExportChoice::cancelExport;
    windows.answer = SaveChoice::dontSave;
    w.windowHandle()->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return job.isNull(); }, 60000));
    EXPECT_TRUE(controller.documents().empty());
    EXPECT_FALSE(fs::exists(path("Cut.mov")));
}

TEST_F(Shell, AFileThatCannotBeReadShowsWhyAndOpensNoWindow) {
    const fs::path bad = path("notes.osterveil");
    std::ofstream(bad) << "not a project";
    EXPECT_EQ(open(bad), nullptr);
    EXPECT_TRUE(controller.documents().empty());
    ASSERT_EQ(windows.errors.size(), 1);
    EXPECT_EQ(windows.errors[0],
              "The document “notes.osterveil” could not be opened.\nThis file is not an Osterveil project.");
    // The "Opening…" panel went before the alert came, so nothing can cover it.
    EXPECT_EQ(windows.panelsUnderAlerts, 0);

    // At launch, a program whose files all failed still opens with a window; one not there is not found.
    controller.openAtLaunch({QString::fromStdString(bad.string()), "/nonexistent/x.osterveil"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller.documents().empty(); }, 20000));
    ASSERT_EQ(controller.documents().size(), 1u);
    EXPECT_FALSE(controller.documents()[0]->fileURL());
    ASSERT_EQ(windows.errors.size(), 3);
    EXPECT_TRUE(windows.errors.contains(
        "The document “x.osterveil” could not be opened.\nThis file cannot be found."))
        << windows.errors.join(" | ").toStdString();
}

TEST_F(Shell, ASaveThatFailsLeavesTheOldFileAndSaysSo) {
    ProjectDocument& d = controller.newDocument();
    const fs::path folder = path("locked");
    fs::create_directory(folder);
    windows.saveLocation = folder / "Cut.osterveil";
    ASSERT_TRUE(save(d));
    const std::string before = bytes(*windows.saveLocation);
    window(d).model().addTitle();
    settle();

    // A read-only folder; root writes there regardless, so a full disk stands in for it then.
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    rlimit old{};
    const bool root = geteuid() == 0;
    if (root) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = 64;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    const bool started = save(d);
    if (root) setrlimit(RLIMIT_FSIZE, &old);
    fs::permissions(folder, fs::perms::owner_all);

    EXPECT_TRUE(started);
    EXPECT_EQ(bytes(*windows.saveLocation), before);
    EXPECT_TRUE(d.isModified());
    EXPECT_TRUE(window(d).isWindowModified());
    ASSERT_EQ(windows.errors.size(), 1);
    EXPECT_TRUE(windows.errors[0].startsWith("The document “Cut.osterveil” could not be saved.\n"))
        << windows.errors[0].toStdString();
    // The cause follows; the sentence is not said twice.
    EXPECT_EQ(windows.errors[0].count("could not be saved"), 1) << windows.errors[0].toStdString();
    // Nothing but the project is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

// Saving over a file that another program replaced since it was opened asks first; each answer keeps
// the other program's version unless the user chose to write over it.
TEST_F(Shell, SavingOverAFileChangedElsewhereAsksFirst) {
    const fs::path file = path("Shared.osterveil");
    std::ofstream(file, std::ios::binary) << ProjectDocument::contents(ProjectDocument::newProject());
    ProjectDocument* d = open(file);
    ASSERT_NE(d, nullptr);
    window(*d).model().addTitle();
    settle();
    // Unchanged on disk: no question.
    ASSERT_TRUE(save(*d));
    EXPECT_TRUE(windows.askedAboutChange.isEmpty());

    // Another program writes its version the way editors do: a new file renamed over the old.
    Project theirs = ProjectDocument::newProject();
    theirs.name = "Theirs";
    const fs::path written = path("elsewhere.tmp");
    std::ofstream(written, std::ios::binary) << ProjectDocument::contents(theirs);
    fs::rename(written, file);
    const std::string their = bytes(file);
    window(*d).model().addTitle();
    settle();

    windows.changedAnswer = ChangedFileChoice::cancel;
    EXPECT_FALSE(save(*d));
    EXPECT_EQ(windows.askedAboutChange, QStringList{"Shared.osterveil"});
    EXPECT_EQ(bytes(file), their);
    EXPECT_TRUE(d->isModified());

    windows.changedAnswer = ChangedFileChoice::saveAs;
    windows.saveLocation = path("Mine.osterveil");
    ASSERT_TRUE(save(*d));
    EXPECT_EQ(bytes(file), their);
    EXPECT_EQ(ProjectDocument::read(path("Mine.osterveil")), d->project());
    EXPECT_EQ(d->fileURL(), path("Mine.osterveil"));

    // Changed in place, same file: asked again; this time written over.
    std::ofstream(*d->fileURL(), std::ios::binary | std::ios::app) << "\n";
    window(*d).model().addTitle();
    settle();
    windows.changedAnswer = ChangedFileChoice::overwrite;
    ASSERT_TRUE(save(*d));
    EXPECT_EQ(windows.askedAboutChange.size(), 3);
    EXPECT_EQ(ProjectDocument::read(*d->fileURL()), d->project());
    EXPECT_FALSE(d->isModified());
    EXPECT_TRUE(windows.errors.isEmpty());
}

// Saving writes on a worker from the project as it was when asked: the window stays editable, a second
// save waits for the first, and quitting waits for a save on its way.
TEST_F(Shell, SavesRunBesideTheWindowOneAfterAnotherAndQuittingWaitsForThem) {
    ProjectDocument& d = controller.newDocument();
    EditorWindow& w = window(d);
    windows.saveLocation = path("Busy.osterveil");
    const Project first = d.project();
    ASSERT_TRUE(controller.save(d));
    EXPECT_TRUE(d.isSaving());
    // Edited while the write runs.
    w.model().addTitle();
    const Project second = d.project();
    ASSERT_TRUE(controller.save(d));
    d.waitForSaves();
    EXPECT_EQ(ProjectDocument::read(path("Busy.osterveil")), second);
    EXPECT_FALSE(d.isModified());

    // Edited after the save was asked for: written as it was asked, and the window still modified.
    ASSERT_TRUE(controller.save(d));
    w.model().addTitle();
    d.waitForSaves();
    EXPECT_EQ(ProjectDocument::read(path("Busy.osterveil")), second);
    EXPECT_TRUE(d.isModified());
    EXPECT_NE(d.project(), first);

    // Quit right after Save: the window closes once the write has landed, and nothing is asked.
    w.model().addTitle();
    const Project last = d.project();
    ASSERT_TRUE(controller.save(d));
    controller.quit();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller.documents().empty(); }, 20000));
    EXPECT_EQ(ProjectDocument::read(path("Busy.osterveil")), last);
    EXPECT_TRUE(windows.asked.isEmpty());
}

// A save chosen after Save As goes to the new file even while the Save As is still being written: the
// old file keeps what it held, and the window ends up named for the new one.
TEST_F(Shell, ASaveAfterSaveAsGoesToTheNewFileBeforeTheSaveAsHasLanded) {
    ProjectDocument& d = controller.newDocument();
    EditorWindow& w = window(d);
    windows.saveLocation = path("v1.osterveil");
    ASSERT_TRUE(save(d));
    const std::string v1 = bytes(path("v1.osterveil"));

    windows.saveLocation = path("v2.osterveil");
    ASSERT_TRUE(controller.saveAs(d));
    // Nothing has landed before these: the landing needs the event loop.
    w.model().addTitle();
    ASSERT_TRUE(controller.save(d));
    d.waitForSaves();
    settle();
    EXPECT_EQ(bytes(path("v1.osterveil")), v1);
    EXPECT_EQ(ProjectDocument::read(path("v2.osterveil")), d.project());
    EXPECT_EQ(d.fileURL(), path("v2.osterveil"));
    EXPECT_EQ(w.windowTitle(), "v2.osterveil[*]");
    EXPECT_FALSE(w.isWindowModified());
    EXPECT_TRUE(windows.askedAboutChange.isEmpty());
    EXPECT_TRUE(windows.errors.isEmpty());
}

// A save that lands after further edits makes the step it wrote the clean one: undoing back to it
// leaves nothing to save.
TEST_F(Shell, UndoingBackToWhatASaveWroteLeavesNothingToSave) {
    ProjectDocument& d = controller.newDocument();
    EditorWindow& w = window(d);
    windows.saveLocation = path("Cut.osterveil");
    w.model().addTitle();
    ASSERT_TRUE(controller.save(d));
    w.model().addTitle(); // while the save is written
    d.waitForSaves();
    settle();
    EXPECT_TRUE(w.isWindowModified());

    w.model().undo();
    EXPECT_EQ(ProjectDocument::read(path("Cut.osterveil")), d.project());
    EXPECT_FALSE(w.isWindowModified());
    w.model().redo();
    EXPECT_TRUE(w.isWindowModified());
    w.model().undo();
    EXPECT_TRUE(w.close());
    EXPECT_TRUE(windows.asked.isEmpty());
}

// A save chosen at Close or at Quit that fails keeps the window and its edits, and says why. The file's
// folder goes after the file was chosen: a write that fails for every user, root included.
TEST_F(Shell, ASaveThatFailsAtCloseOrQuitKeepsTheWindowAndItsEdits) {
    const fs::path folder = path("Reel");
    fs::create_directory(folder);
    windows.saveLocation = folder / "Cut.osterveil";
    ProjectDocument& d = controller.newDocument();
    QPointer<EditorWindow> w = &window(d);
    ASSERT_TRUE(save(d));
    w->model().addTitle();
    settle();
    const Project edited = d.project();
    fs::remove_all(folder);
    int quits = 0;
    QObject::connect(&controller, &DocumentController::quitFinished, [&] { ++quits; });
    windows.answer = SaveChoice::save;

    const auto stays = [&](qsizetype failures) {
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return windows.errors.size() == failures && !d.isSaving(); }, 20000));
        settle();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ASSERT_EQ(controller.documents().size(), 1u);
        ASSERT_FALSE(w.isNull());
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(d.project(), edited);
        EXPECT_TRUE(w->isWindowModified());
        EXPECT_EQ(
            windows.errors.back(),
            "The document “Cut.osterveil” could not be saved.\nThe folder it goes in is no longer there.");
        EXPECT_EQ(quits, 0);
    };
    w->close();
    ASSERT_NO_FATAL_FAILURE(stays(1));
    controller.quit();
    ASSERT_NO_FATAL_FAILURE(stays(2));
    EXPECT_EQ(windows.asked, (QStringList{"Cut.osterveil", "Cut.osterveil"}));

    // That quit is over: the next one asks again, and Don't Save lets the program end.
    windows.answer = SaveChoice::dontSave;
    EXPECT_TRUE(controller.quit());
    EXPECT_EQ(quits, 1);
}

// Close and Save while the save is written: the window closes once it has landed. Closing again and
// quitting meanwhile ask nothing and write nothing more; the quit goes on to the next window once the
// first has closed, and an open that lands during the quit adds no window.
TEST_F(Shell, ClosingTwiceAndQuittingDuringASaveClosesOnceAndSavesOnce) {
    windows.saveLocation = path("Cut.osterveil");
    ProjectDocument& d = controller.newDocument();
    QPointer<EditorWindow> w = &window(d);
    ASSERT_TRUE(save(d));
    w->model().addTitle();
    settle();
    const Project edited = d.project();
    controller.newDocument();
    const fs::path other = path("Other.osterveil");
    std::ofstream(other, std::ios::binary) << ProjectDocument::contents(ProjectDocument::newProject());
    int quits = 0;
    QObject::connect(&controller, &DocumentController::quitFinished, [&] { ++quits; });
    HeldSaves held(d);

    windows.answer = SaveChoice::save;
    bool closedAgain = true, quitAtOnce = true, quitAgain = true;
    std::optional<ProjectDocument*> opened;
    QTimer::singleShot(0, [&] {
        // Posted first, so that it also comes where a close would wait for the save in a loop of its own.
        QTimer::singleShot(0, [&] { held.release(); });
        closedAgain = w->close();
        quitAtOnce = controller.quit();
        quitAgain = controller.quit();
        controller.openFile(other, [&](ProjectDocument* o) { opened = o; });
    });
    EXPECT_FALSE(w->close());
    ASSERT_TRUE(QTest::qWaitFor([&] { return quits > 0 && opened; }, 20000));
    settle();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    EXPECT_FALSE(closedAgain);
    EXPECT_FALSE(quitAtOnce);
    EXPECT_FALSE(quitAgain);
    EXPECT_EQ(held.writes(), 1);
    EXPECT_EQ(windows.asked, QStringList{"Cut.osterveil"});
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(*opened, nullptr);
    EXPECT_TRUE(controller.documents().empty());
    EXPECT_TRUE(w.isNull());
    EXPECT_EQ(ProjectDocument::read(path("Cut.osterveil")), edited);
    EXPECT_TRUE(windows.errors.isEmpty());
}

// While a close asks its question, no other close ends the document without the answer: not the
// window manager's, not Close or Quit again, not another window's Quit, whichever way the first came.
// A quit that comes meanwhile waits for the answer and goes on from there.
TEST_F(Shell, WhileACloseAsksNoOtherCloseEndsTheDocumentWithoutItsAnswer) {
    int quits = 0;
    QObject::connect(&controller, &DocumentController::quitFinished, [&] { ++quits; });
    using Entry = std::function<void(EditorWindow & asking, EditorWindow & other)>;
    const std::vector<std::pair<std::string, Entry>> firsts{
        {"✕", [](EditorWindow& a, EditorWindow&) { closeFromWindowManager(a); }},
        {"Ctrl+W", [](EditorWindow& a,
                      EditorWindow&) { QTest::keyClick(a.windowHandle(), Qt::Key_W, Qt::ControlModifier); }},
        {"Ctrl+Q", [](EditorWindow& a,
                      EditorWindow&) { QTest::keyClick(a.windowHandle(), Qt::Key_Q, Qt::ControlModifier); }},
    };
    const std::vector<std::pair<std::string, Entry>> seconds{
        {"✕", [](EditorWindow& a, EditorWindow&) { EXPECT_FALSE(closeFromWindowManager(a)); }},
        {"Close", [](EditorWindow& a, EditorWindow&) { fileItem(a, "Close")->trigger(); }},
        {"Quit", [](EditorWindow& a, EditorWindow&) { fileItem(a, "Quit")->trigger(); }},
        {"the other window's Quit", [](EditorWindow&, EditorWindow& b) { fileItem(b, "Quit")->trigger(); }},
        {"the close's own check",
         [&](EditorWindow& a, EditorWindow&) { EXPECT_FALSE(controller.confirmClose(a.document())); }},
    };
    const auto closeBoth = [&](const QPointer<EditorWindow>& a, const QPointer<EditorWindow>& b) {
        for (EditorWindow* w : {a.data(), b.data()}) {
            if (!w) continue;
            w->closeWithoutAsking();
            w->close();
        }
        settle();
    };
    for (const auto& [firstName, first] : firsts) {
        for (const auto& [secondName, second] : seconds) {
            SCOPED_TRACE(firstName + ", then " + secondName + " while asked");
            ProjectDocument& d = controller.newDocument();
            QPointer<EditorWindow> a = &window(d);
            a->model().addTitle();
            settle();
            const Project edited = d.project();
            QPointer<EditorWindow> b = &window(controller.newDocument());
            activate(*a);
            windows.asked.clear();
            windows.answer = SaveChoice::cancel;
            windows.whileAsked = [&, second = second] { second(*a, *b); };

            first(*a, *b);
            settle();
            EXPECT_EQ(windows.asked, QStringList{controller.displayName(d)});
            EXPECT_EQ(quits, 0);
            EXPECT_TRUE(a && b) << "a window has gone";
            if (a && b) {
                EXPECT_TRUE(a->isVisible());
                EXPECT_NE(a->windowHandle()->handle(), nullptr);
                EXPECT_TRUE(b->isVisible());
                EXPECT_EQ(controller.documents().size(), 2u);
                EXPECT_EQ(d.project(), edited);
                EXPECT_TRUE(d.isModified());
            }
            closeBoth(a, b);
        }
    }

    // Answered, the close goes, and the quit that came meanwhile goes on from there.
    ProjectDocument& d = controller.newDocument();
    QPointer<EditorWindow> a = &window(d);
    a->model().addTitle();
    QPointer<EditorWindow> b = &window(controller.newDocument());
    settle();
    windows.answer = SaveChoice::dontSave;
    windows.whileAsked = [&] { fileItem(*b, "Quit")->trigger(); };
    closeFromWindowManager(*a);
    ASSERT_TRUE(QTest::qWaitFor([&] { return quits == 1; }, 20000));
    EXPECT_TRUE(controller.documents().empty());
}

// The export question stands against the window manager's close as the save question does, and goes
// once the export has ended: there is nothing left to cancel, and the close goes on to what it asks next.
TEST_F(Shell, TheExportQuestionHoldsAgainstOtherClosesAndGoesWhenTheExportEnds) {
    auto exporter = std::make_shared<HeldExporter>();
    ProjectDocument& d = controller.newDocument();
    EditorWindow& w = window(d);
    w.model().addTitle();
    QPointer<ExportSheet> sheet = startHeldExport(w, exporter, path("Cut.mov"));
    ASSERT_NE(sheet, nullptr);
    int quits = 0;
    QObject::connect(&controller, &DocumentController::quitFinished, [&] { ++quits; });

    // Ctrl+Q, the export question, then ✕; Keep Exporting keeps it all.
    windows.exportAnswer = ExportChoice::keepExporting;
    windows.whileAsked = [&] { EXPECT_FALSE(closeFromWindowManager(w)); };
    sheet->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(sheet));
    QTest::keyClick(sheet->windowHandle(), Qt::Key_Q, Qt::ControlModifier);
    settle();
    EXPECT_EQ(windows.asked, QStringList{"export: Untitled"});
    EXPECT_TRUE(w.isVisible());
    EXPECT_NE(w.windowHandle()->handle(), nullptr);
    ASSERT_TRUE(sheet && sheet->job().isRunning());
    EXPECT_EQ(exporter->cancels, 0);
    EXPECT_EQ(quits, 0);

    // The export ends while the editor's ✕ asks: the question goes by itself, and the unsaved edit is
    // asked about.
    windows.answer = SaveChoice::cancel;
    windows.whileAsked = [&] {
        const QPointer<QWidget> question = QApplication::activeModalWidget();
        exporter->end(HeldExporter::End::success);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !question || !question->isVisible(); }, 20000))
            << "the question outlived the export";
    };
    EXPECT_FALSE(closeFromWindowManager(w));
    settle();
    EXPECT_EQ(windows.asked, (QStringList{"export: Untitled", "export: Untitled", "Untitled"}));
    EXPECT_TRUE(w.isVisible());
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->job().finished());
    EXPECT_EQ(exporter->cancels, 0);
}

// An open that lands while a quit waits for a save opens once that quit is abandoned, here by Cancel at
// the next window's question.
TEST_F(Shell, AnOpenDuringAHeldQuitOpensOnceThatQuitIsAbandoned) {
    windows.saveLocation = path("Cut.osterveil");
    ProjectDocument& d = controller.newDocument();
    window(d).model().addTitle();
    ProjectDocument& later = controller.newDocument();
    window(later).model().addTitle();
    settle();
    const fs::path other = path("Other.osterveil");
    std::ofstream(other, std::ios::binary) << ProjectDocument::contents(ProjectDocument::newProject());
    HeldSaves held(d);
    int quits = 0;
    QObject::connect(&controller, &DocumentController::quitFinished, [&] { ++quits; });

    // Save for the first window, which holds the quit while it is written.
    windows.answer = SaveChoice::save;
    EXPECT_FALSE(controller.quit());
    ASSERT_TRUE(QTest::qWaitFor([&] { return held.writes() == 1; }, 20000));
    std::optional<ProjectDocument*> opened;
    controller.openFile(other, [&](ProjectDocument* o) { opened = o; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller.isOpening(); }, 20000));
    settle();
    EXPECT_FALSE(opened) << "told before the quit was over";

    // The save lands, the first window goes, and the second window's Cancel ends the quit.
    windows.answer = SaveChoice::cancel;
    held.release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return opened.has_value(); }, 20000));
    ASSERT_NE(*opened, nullptr);
    EXPECT_EQ((*opened)->fileURL(), other);
    EXPECT_NE(windows.window(**opened), nullptr);
    EXPECT_EQ(windows.asked, (QStringList{"Untitled", "Untitled 2"}));
    EXPECT_EQ(controller.documents().size(), 2u);
    EXPECT_EQ(quits, 0);
}

// A close that waits for its save asks again when the save lands if the window was edited meanwhile.
TEST_F(Shell, AnEditWhileACloseWaitsForItsSaveIsAskedAboutWhenTheSaveLands) {
    windows.saveLocation = path("Cut.osterveil");
    ProjectDocument& d = controller.newDocument();
    QPointer<EditorWindow> w = &window(d);
    w->model().addTitle();
    settle();
    HeldSaves held(d);
    windows.answer = SaveChoice::save;
    EXPECT_FALSE(w->close());
    w->model().addTitle();
    const Project edited = d.project();
    windows.answer = SaveChoice::cancel;
    held.release();
    d.waitForSaves();
    settle();
    EXPECT_EQ(windows.asked, (QStringList{"Untitled", "Cut.osterveil"}));
    ASSERT_FALSE(w.isNull());
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(d.isModified());
    EXPECT_EQ(d.project(), edited);
}

// A click on the editor behind its sheet activates the editor; the sheet takes the focus back, so that
// Escape reaches it, and while the editor is active no single key reaches it.
TEST_F(Shell, TheSheetTakesTheKeysBackWhenItsEditorIsActivatedAndTheEditorTakesNone) {
    ProjectDocument& d = controller.newDocument();
    EditorWindow& w = window(d);
    activate(w);
    const auto pressM = [&] {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_M, Qt::NoModifier, "m");
        QCoreApplication::sendEvent(w.focusWidget() ? w.focusWidget() : static_cast<QWidget*>(&w), &press);
    };
    w.model().setShowShortcuts(true);
    settle();
    const QPointer<QDialog> sheet = w.presentedSheet();
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(sheet));

    // The window manager activates the editor, as a click on it does; the sheet takes it back.
    bool editorActivated = false;
    QObject::connect(qApp, &QGuiApplication::focusWindowChanged, &w,
                     [&](QWindow* focus) { editorActivated = editorActivated || focus == w.windowHandle(); });
    w.activateWindow();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return editorActivated && QApplication::activeWindow() == sheet; }, 20000));

    // Active all the same, the editor takes no single key while its sheet is up.
    QApplication::setActiveWindow(&w);
    ASSERT_EQ(QApplication::activeWindow(), &w);
    pressM();
    EXPECT_TRUE(d.project().sequence.markers.empty());

    QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.model().showShortcuts(); }, 20000));
    EXPECT_TRUE(sheet.isNull() || !sheet->isVisible());

    // The same key with the sheet gone is the editor's.
    activate(w);
    pressM();
    EXPECT_EQ(d.project().sequence.markers.size(), 1u);
}

// A project is read on a worker: Open returns at once, and the window comes once the file is read.
// The window is made a pane per turn of the event loop, shown only once whole, and comes out as a
// window made at once would.
TEST_F(Shell, OpeningReadsOnAWorkerAndTheWindowFollowsMadeAPaneAtATime) {
    Project p = ProjectDocument::newProject();
    p.name = "Later";
    const fs::path file = path("Later.osterveil");
    std::ofstream(file, std::ios::binary) << ProjectDocument::contents(p);
    ProjectDocument* opened = nullptr;
    bool finished = false, shownBeforeWhole = false, panelGoneBeforeWindow = false;
    int turnsWhileMade = 0;
    const auto openingPanel = [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<QProgressDialog*>(w)) return true;
        return false;
    };
    controller.openFile(file, [&](ProjectDocument* d) {
        opened = d;
        finished = true;
    });
    EXPECT_TRUE(controller.isOpening());
    EXPECT_TRUE(controller.documents().empty());
    QElapsedTimer clock;
    clock.start();
    // A turn at a time: a wait with a time limit runs turns for as long as they keep coming.
    while (!finished && clock.elapsed() < 20000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        for (ProjectDocument* d : controller.documents()) {
            if (EditorWindow* w = windows.window(*d); w && !w->isBuilt()) {
                ++turnsWhileMade;
                shownBeforeWhole = shownBeforeWhole || w->isVisible();
                panelGoneBeforeWindow = panelGoneBeforeWindow || !openingPanel();
            }
        }
    }
    ASSERT_TRUE(finished);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->project(), p);
    EXPECT_FALSE(controller.isOpening());
    EXPECT_GE(turnsWhileMade, 3);
    EXPECT_FALSE(shownBeforeWhole);
    // The "Opening…" panel stays until the window is up, and no longer.
    EXPECT_FALSE(panelGoneBeforeWindow);
    EXPECT_FALSE(openingPanel());
    EditorWindow& stepped = window(*opened);
    EXPECT_TRUE(stepped.isBuilt());
    EXPECT_TRUE(stepped.isVisible());
    // Every pane held back from the first paint has been let go.
    for (QWidget* part : stepped.findChildren<QWidget*>())
        EXPECT_TRUE(part->updatesEnabled()) << part->metaObject()->className();

    // Its parts, in their order, and the sizes its splits start from.
    EditorWindow atOnce(*opened, &controller);
    atOnce.move(stepped.pos());
    atOnce.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&atOnce));
    const auto outline = [](QWidget& w) {
        QStringList parts;
        for (QObject* o : w.findChildren<QObject*>()) {
            if (!o->isWidgetType()) continue;
            auto* widget = static_cast<QWidget*>(o);
            parts << QStringLiteral("%1 %2 in %3 %4 %5")
                         .arg(o->metaObject()->className(), o->objectName(),
                              o->parent()->metaObject()->className())
                         .arg(widget->isVisibleTo(&w))
                         .arg(QDebug::toString(widget->geometry()));
        }
        return parts;
    };
    // The program monitor's building label shows while a window's preview is built, which one window may
    // still be doing when the other has finished.
    (void)QTest::qWaitFor([&] { return outline(stepped) == outline(atOnce); }, 10000);
    const QStringList made = outline(stepped), madeAtOnce = outline(atOnce);
    ASSERT_EQ(made.size(), madeAtOnce.size());
    for (qsizetype i = 0; i < made.size(); ++i)
        EXPECT_EQ(made[i], madeAtOnce[i]);
}

// A window on screen that takes another project (its sequence another) changes every pane: it draws
// them a pane per turn of the event loop, not in the turn that delivers the change, and ends showing
// what a fresh drawing of it shows. An edit of the project it shows is drawn in the turn it comes.
TEST_F(Shell, AnotherProjectIsDrawnAPanePerTurnAndAnEditAtOnce) {
    ProjectDocument& d = controller.newDocument();
    EditorWindow& w = window(d);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    auto* bin = w.findChild<MediaBinView*>();
    auto* timeline = w.findChild<TimelineDocumentView*>();
    ASSERT_TRUE(bin && timeline);
    struct Paints : QObject {
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Paint) painted.insert(watched);
            return false;
        }
        std::set<QObject*> painted;
    } paints;
    bin->viewport()->installEventFilter(&paints);
    timeline->installEventFilter(&paints);
    // What is posted, and what that posts, with no timer's turn between: the change's announcement, the
    // views following it, and the paint they ask for.
    const auto postedOnly = [] {
        for (int i = 0; i < 8; ++i)
            QCoreApplication::sendPostedEvents();
    };
    const auto allDrawing = [&] {
        for (QWidget* part : w.findChildren<QWidget*>())
            if (!part->updatesEnabled()) return false;
        return true;
    };
    ASSERT_TRUE(QTest::qWaitFor(allDrawing, 20000));
    settle();

    Project other = ProjectDocument::newProject();
    const MediaItem m = testsupport::fixtureMovieItem();
    other.media.push_back(m);
    TimelineClip c;
    c.id = Uuid::make();
    c.mediaID = m.id;
    c.name = m.name;
    c.duration = 2;
    other.sequence.tracks.mut(0).clips.push_back(c);
    paints.painted.clear();
    d.setProject(other);
    postedOnly();
    EXPECT_FALSE(paints.painted.contains(timeline));
    EXPECT_FALSE(paints.painted.contains(bin->viewport()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return allDrawing() && paints.painted.size() == 2; }, 20000));
    settle();
    postedOnly();
    const QImage shown = w.screen()->grabWindow(w.winId()).toImage().convertToFormat(QImage::Format_RGB32);
    const QImage fresh = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
    if (shown != fresh) {
        shown.save(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR "/another-project-shown.png"));
        fresh.save(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR "/another-project-fresh.png"));
    }
    EXPECT_TRUE(shown == fresh);

    paints.painted.clear();
    w.model().edit("Opacity", [&](Project& project) {
        project.sequence.updateClip(c.id, [](TimelineClip& clip) { clip.opacity.value = 0.5; });
    });
    postedOnly();
    EXPECT_TRUE(paints.painted.contains(timeline));
}

// A quit that comes while an opened project's window is being made closes it as it is: the open ends
// with nothing, and neither the window nor the document is left.
TEST_F(Shell, AQuitWhileAnOpenedWindowIsMadeEndsTheOpenWithNothing) {
    const fs::path file = path("Made.osterveil");
    std::ofstream(file, std::ios::binary) << ProjectDocument::contents(ProjectDocument::newProject());
    std::optional<ProjectDocument*> opened;
    controller.openFile(file, [&](ProjectDocument* d) { opened = d; });
    QPointer<EditorWindow> made;
    QElapsedTimer clock;
    clock.start();
    while (!made && !opened && clock.elapsed() < 20000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!controller.documents().empty()) made = windows.window(*controller.documents()[0]);
    }
    ASSERT_TRUE(made);
    ASSERT_FALSE(made->isBuilt());
    int quits = 0;
    QObject::connect(&controller, &DocumentController::quitFinished, [&] { ++quits; });
    EXPECT_TRUE(controller.quit());
    ASSERT_TRUE(QTest::qWaitFor([&] { return quits > 0 && opened; }, 20000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(*opened, nullptr);
    EXPECT_TRUE(controller.documents().empty());
    EXPECT_TRUE(made.isNull());
    EXPECT_TRUE(windows.errors.isEmpty());
}

// An import of a Premiere XML shows its progress in the status bar with a button that stops it.
TEST_F(Shell, AnImportShowsItsProgressAndACancelButtonInTheStatusBar) {
    ProjectDocument& d = controller.newDocument();
    EditorWindow& w = window(d);
    const fs::path xml = path("cut.xml");
    std::ofstream(xml)
        << "<xmeml version=\"4\"><sequence><name>Cut</name><rate><timebase>25</timebase></rate>"
           "<media><video><track/></video></media></sequence></xmeml>";
    // The first preview's status line lands before the import's.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !w.model().rebuilds().isPending() && !w.model().isBuilding(); }, 20000));
    settle();
    const Project before = d.project();
    EXPECT_FALSE(w.cancelImportButton()->isVisible());
    bool finished = false;
    w.model().importPremiereXML(xml, [&] { finished = true; });
    // Only the model's own news, not the import's outcome, which may already be on its way.
    QCoreApplication::sendPostedEvents(&w.model(), QEvent::MetaCall);
    ASSERT_TRUE(w.cancelImportButton()->isVisible());
    EXPECT_TRUE(w.statusLabel()->toolTip().startsWith(QStringLiteral("Importing \u201Ccut.xml\u201D")));
    QDir().mkpath(OSTERVEIL_TEST_OUTPUT_DIR);
    w.findChild<QWidget*>("statusBar")
        ->grab()
        .save(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR "/status-importing.png"));
    QTest::mouseClick(w.cancelImportButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished; }, 20000));
    settle();
    EXPECT_FALSE(w.cancelImportButton()->isVisible());
    EXPECT_EQ(w.model().status(), QStringLiteral("Import of \u201Ccut.xml\u201D cancelled."));
    EXPECT_EQ(d.project(), before);
}

// The program ends as `main` ends it once its last window has closed, while a job of that window still
// runs that looks at no token (a read from a disk that does not answer): the process does not wait for
// it.
TEST_F(Shell, TheProcessEndsOnceItsLastWindowHasClosedWithoutWaitingForWorkNobodyTakes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            int status = 1;
            {
                EditorApplication app(*qApp);
                QTimer::singleShot(0, &app, [&app] {
                    EditorWindow* w = app.windows().window(*app.documents().documents().front());
                    const auto deaf = [](const std::stop_token&) {
                        std::binary_semaphore never(0);
                        // Still waited for after a minute: the end is held.
                        if (!never.try_acquire_for(std::chrono::minutes(1))) std::_Exit(7);
                    };
                    // The window's own work, and an open under way that the window never shows.
                    WorkService::shared().run(WorkService::Lane::pictures, w->model().workToken(), deaf);
                    WorkService::shared().run(WorkService::Lane::documents, app.documents().workToken(),
                                              deaf);
                    while (WorkService::shared().running(WorkService::Lane::pictures) == 0 ||
                           WorkService::shared().running(WorkService::Lane::documents) == 0)
                        std::this_thread::yield();
                    w->close();
                });
                status = app.run({});
            }
            std::exit(EditorApplication::finish(status));
        },
        ::testing::ExitedWithCode(0), "");
}

// The window's thread is let in soon whenever it wakes, so the window answers while the program's own
// workers keep every core busy; the threads it starts are those workers, and keep the usual turns.
TEST_F(Shell, TheWindowsThreadTakesShortTurnsAndTheThreadsItStartsTheUsualOnes) {
    const std::chrono::nanoseconds usual = turnLength();
    if (usual == std::chrono::nanoseconds::zero())
        GTEST_SKIP() << "this kernel does not tell a thread's turn";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            EditorApplication app(*qApp);
            std::chrono::nanoseconds started{};
            std::thread([&started] { started = turnLength(); }).join();
            const std::chrono::nanoseconds own = turnLength();
            // Ended at once: what the window started may still run, and is nobody's to wait for here.
            std::_Exit(own > std::chrono::nanoseconds::zero() && own < usual && started == usual ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

namespace {

// The save and the open of `TheWorkersOfASaveAndAnOpenGiveWay…`, in a process of their own: 0 when
// every worker behaved.
int giveWayToTheWindow(int windowsProcessor, int workersProcessor, const fs::path& file) {
    const auto only = [](int cpu) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        return set;
    };
    // Threads started from now on take the processor the workers are to have.
    const cpu_set_t theirs = only(workersProcessor), windows = only(windowsProcessor);
    sched_setaffinity(0, sizeof theirs, &theirs);
    EditorApplication app(*qApp);
    WorkService::shared();
    Project p = ProjectDocument::newProject();
    for (int i = 0; i < 20000; ++i) {
        TimelineClip c;
        c.id = Uuid::make();
        c.name = "A" + std::to_string(i) + ".mov";
        c.start = i;
        c.duration = 1;
        p.sequence.tracks.mut(std::size_t(i % 2)).clips.push_back(c);
    }
    // The coder's helpers, started with it.
    (void)ProjectDocument::contents(p);
    sched_setaffinity(0, sizeof windows, &windows);

    ProjectDocument d(p);
    // Turns of 40 ms each, until one has seen a worker wait for it or `running` no longer holds.
    const auto waitedFor = [](auto running) {
        bool waited = false;
        while (running() && !waited) {
            QTimer::singleShot(0, [&] {
                QElapsedTimer turn;
                turn.start();
                while (turn.elapsed() < 40 && !waited)
                    waited = WindowTurn::waiting() > 0;
            });
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return waited;
    };
    const auto save = [&] {
        bool saved = false;
        d.saveInBackground(file, [&](const QString& failure) { saved = failure.isEmpty(); });
        const bool waited = waitedFor([&] { return d.isSaving(); });
        return std::pair{waited, QTest::qWaitFor([&] { return saved; }, 120000)};
    };
    const auto [apartWaited, apartLanded] = save();

    // Every thread on the window's processor: they compete for it.
    for (const auto& task : fs::directory_iterator("/proc/self/task"))
        sched_setaffinity(std::atoi(task.path().filename().c_str()), sizeof windows, &windows);
    const auto [saveWaited, saveLanded] = save();
    ProjectDocument* opened = nullptr;
    bool finished = false;
    app.documents().openFile(file, [&](ProjectDocument* o) {
        opened = o;
        finished = true;
    });
    const bool openWaited = waitedFor([&] { return !finished; });
    const bool openLanded =
        QTest::qWaitFor([&] { return finished; }, 120000) && opened && opened->project() == p;
    std::fprintf(
        stderr,
        "apart: save waited %d landed %d; together: save waited %d landed %d, open waited %d landed %d\n",
        apartWaited, apartLanded, saveWaited, saveLanded, openWaited, openLanded);
    return !apartWaited && apartLanded && saveWaited && saveLanded && openWaited && openLanded ? 0 : 1;
}

} // namespace

// A save's and an open's workers wait while a turn of the window's loop runs long and the window's
// thread waits for the processor they run on, so that the turn has it, and go on once the loop waits
// again: the save lands whole, the open too. Workers that have processors of their own go on through
// the window's long turns: they take nothing from it.
TEST_F(Shell, TheWorkersOfASaveAndAnOpenGiveWayToALongTurnOfTheWindowOnlyOnItsProcessor) {
    cpu_set_t usable;
    CPU_ZERO(&usable);
    ASSERT_EQ(sched_getaffinity(0, sizeof usable, &usable), 0);
    std::vector<int> processors;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &usable)) processors.push_back(cpu);
    if (processors.size() < 2) GTEST_SKIP() << "the window and the workers need a processor each";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Ended at once: the windows and workers left are nobody's to wait for here.
    EXPECT_EXIT(std::_Exit(giveWayToTheWindow(processors[0], processors[1], path("Long.osterveil"))),
                ::testing::ExitedWithCode(0), "");
}

// An edit of a clip redraws the timeline and leaves the project bin alone, which shows nothing of it; a
// change to the media redraws the bin.
TEST_F(Shell, AnEditOfAClipRedrawsTheTimelineAndNotTheProjectBin) {
    ProjectDocument& d = controller.newDocument();
    EditorWindow& w = window(d);
    const Uuid clip = placeClip(w);
    Project p = d.project();
    const MediaItem m = testsupport::fixtureMovieItem();
    p.media.push_back(m);
    d.setProject(p);
    auto* bin = w.findChild<MediaBinView*>();
    auto* timeline = w.findChild<TimelineDocumentView*>();
    ASSERT_TRUE(bin && timeline);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    // Paints of the bin's rows and of the timeline.
    struct Paints : QObject {
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Paint) ++counts[watched];
            return false;
        }
        std::map<QObject*, int> counts;
    } paints;
    bin->viewport()->installEventFilter(&paints);
    timeline->installEventFilter(&paints);
    // The item's picture and sound outline in, which the bin does show.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return w.model().thumbnails().contains(m.id) &&
                   (!m.hasAudio || w.model().waveforms().contains(m.id));
        },
        20000));
    // Every build of the preview over, so what it publishes comes before the count starts.
    const auto built = [&] { return !w.model().rebuilds().isPending() && !w.model().isBuilding(); };
    ASSERT_TRUE(QTest::qWaitFor(built, 20000));
    bin->viewport()->update();
    ASSERT_TRUE(QTest::qWaitFor([&] { return paints.counts[bin->viewport()] > 0; }, 20000));
    settle();
    paints.counts.clear();
    w.model().edit("Opacity", [&](Project& project) {
        project.sequence.updateClip(clip, [](TimelineClip& c) { c.opacity.value = 0.5; });
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return paints.counts[timeline] > 0; }, 20000));
    // The edit's own build too: nothing it brings is the bin's.
    ASSERT_TRUE(QTest::qWaitFor(built, 20000));
    settle();
    EXPECT_EQ(paints.counts[bin->viewport()], 0);

    Project renamed = d.project();
    renamed.media.mut(0).name = "Renamed.mov";
    d.setProject(renamed);
    EXPECT_TRUE(QTest::qWaitFor([&] { return paints.counts[bin->viewport()] > 0; }, 20000));
}

// The "Opening…" panel of a project being read takes Quit, as the editor's sheets do, and its close and
// Escape cancel the open: the panel goes, and nothing of the open lands, then or later.
TEST_F(Shell, TheOpeningPanelTakesQuitAndItsCloseAndEscapeCancelTheOpen) {
    const fs::path file = path("Later.osterveil");
    std::ofstream(file, std::ios::binary) << ProjectDocument::contents(ProjectDocument::newProject());
    std::stop_source owner;
    BusyReaders busy(owner.get_token());
    std::optional<ProjectDocument*> opened;
    const auto panel = [&] {
        opened.reset();
        controller.openFile(file, [&](ProjectDocument* d) { opened = d; });
        QPointer<QProgressDialog> shown = openingPanel();
        EXPECT_TRUE(shown && QTest::qWaitForWindowActive(shown));
        return shown;
    };
    const auto cancelled = [&](const QPointer<QProgressDialog>& shown) {
        return QTest::qWaitFor([&] { return opened.has_value() && shown.isNull(); }, 20000) &&
               *opened == nullptr && !controller.isOpening();
    };

    QPointer<QProgressDialog> shown = panel();
    ASSERT_NE(shown, nullptr);
    QTest::keyClick(shown->windowHandle(), Qt::Key_Escape);
    EXPECT_TRUE(cancelled(shown)) << "Escape did not cancel the open";

    shown = panel();
    ASSERT_NE(shown, nullptr);
    closeFromWindowManager(*shown);
    EXPECT_TRUE(cancelled(shown)) << "the window manager's close did not cancel the open";

    // Ctrl+Q asks about an edited window as from anywhere else; answered, the quit ends the open.
    ProjectDocument& d = controller.newDocument();
    window(d).model().addTitle();
    settle();
    int quits = 0;
    QObject::connect(&controller, &DocumentController::quitFinished, [&] { ++quits; });
    shown = panel();
    ASSERT_NE(shown, nullptr);
    windows.answer = SaveChoice::dontSave;
    QTest::keyClick(shown->windowHandle(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(windows.asked, QStringList{"Untitled"});
    EXPECT_TRUE(cancelled(shown)) << "the quit did not end the open";
    EXPECT_EQ(quits, 1);

    busy.release();
    ASSERT_TRUE(QTest::qWaitFor(
        [] {
            return WorkService::shared().running(WorkService::Lane::documents) +
                       WorkService::shared().waiting(WorkService::Lane::documents) ==
                   0;
        },
        20000));
    settle();
    EXPECT_TRUE(controller.documents().empty());
    EXPECT_TRUE(windows.errors.isEmpty()) << windows.errors.join(" | ").toStdString();
}

// A file named at launch that cannot be opened: its alert comes with the start-up splash gone, so that
// nothing covers it, and its OK leaves the program a new window. As at launch, the files are opened
// first and the splash comes next; the read has failed by then, and showing the splash runs the events
// waiting, the alert among them.
TEST_F(Shell, TheAlertOfAFailedOpenAtLaunchComesWithTheSplashGone) {
    DocumentWindows shown;
    DocumentController launch(shown);
    shown.setController(&launch);
    SplashPresenter splash;
    const auto splashShown = [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<SplashView*>(w) && w->isVisible()) return true;
        return false;
    };
    QString alert;
    bool splashUp = true;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        answer.stop();
        alert = box->text() + "\n" + box->informativeText();
        splashUp = splashShown();
        QTest::keyClick(box, Qt::Key_Return);
    });
    answer.start(10);
    launch.openAtLaunch({"/nonexistent/x.osterveil"});
    QElapsedTimer read;
    read.start();
    while (WorkService::shared().running(WorkService::Lane::documents) +
               WorkService::shared().waiting(WorkService::Lane::documents) >
           0)
        ASSERT_LT(read.elapsed(), 20000);
    qunsetenv("OSTERVEIL_NO_SPLASH");
    splash.presentIfNeeded();
    qputenv("OSTERVEIL_NO_SPLASH", "1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !launch.documents().empty(); }, 20000));
    EXPECT_EQ(alert, "The document “x.osterveil” could not be opened.\nThis file cannot be found.");
    EXPECT_FALSE(splashUp) << "the splash was over the alert";
    EXPECT_FALSE(splashShown());
    EXPECT_FALSE(launch.documents()[0]->fileURL());
    for (ProjectDocument* d : launch.documents())
        if (EditorWindow* w = shown.window(*d)) {
            w->closeWithoutAsking();
            w->close();
        }
}

// Runs under a real X server (ctest runs it through xvfb-run); offscreen it is skipped. The program
// starts with a project to open whose read does not end; Ctrl+Q with its panel active ends the program.
TEST_F(Shell, QuitFromTheOpeningPanelOnX) {
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server: run under xvfb-run with QT_QPA_PLATFORM=xcb";
    const fs::path file = path("Later.osterveil");
    std::ofstream(file, std::ios::binary) << ProjectDocument::contents(ProjectDocument::newProject());
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            EditorApplication app(*qApp);
            BusyReaders busy(app.documents().workToken());
            QTimer keys;
            QObject::connect(&keys, &QTimer::timeout, [&] {
                QProgressDialog* shown = nullptr;
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (auto* p = qobject_cast<QProgressDialog*>(w); p && p->isVisible()) shown = p;
                if (!shown) return;
                if (QGuiApplication::focusWindow() != shown->windowHandle()) return shown->activateWindow();
                keys.stop();
                QTest::keyClick(QGuiApplication::focusWindow(), Qt::Key_Q, Qt::ControlModifier);
            });
            keys.start(50);
            // The program still there a minute later: Ctrl+Q was not heard.
            QTimer::singleShot(60000, [] { std::_Exit(3); });
            std::_Exit(app.run({QString::fromStdString(file.string())}) + 4);
        },
        ::testing::ExitedWithCode(0), "");
}

namespace {

// The program as `osterveil file` runs it, splash and all, with a read that waits: the "Opening…"
// panel's Escape is pressed once the screen shows the panel, and the window manager closes the window
// left. Ends the process: 0 when the program ended by that close, else a code and what went wrong.
[[noreturn]] void launchCancelAndClose(const fs::path& file) {
    qunsetenv("OSTERVEIL_NO_SPLASH");
    EditorApplication app(*qApp);
    BusyReaders busy(app.documents().workToken());
    const auto fail = [](int code, const char* what) {
        std::fprintf(stderr, "%s\n", what);
        std::_Exit(code);
    };
    const auto splashUp = [] {
        const QWidgetList all = QApplication::topLevelWidgets();
        return std::any_of(all.begin(), all.end(),
                           [](QWidget* w) { return qobject_cast<SplashView*>(w) && w->isVisible(); });
    };
    // The screen where the panel is, against the panel's own drawing.
    const auto panelOnScreen = [](QWidget& panel) {
        const QImage drawn = panel.grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QImage screen = QGuiApplication::primaryScreen()
                                  ->grabWindow(0, panel.mapToGlobal(QPoint()).x(),
                                               panel.mapToGlobal(QPoint()).y(), panel.width(), panel.height())
                                  .toImage()
                                  .convertToFormat(QImage::Format_RGB32);
        if (screen.size() != drawn.size()) return false;
        qsizetype same = 0;
        for (int y = 0; y < drawn.height(); ++y)
            for (int x = 0; x < drawn.width(); ++x)
                same += drawn.pixel(x, y) == screen.pixel(x, y);
        return same >= drawn.width() * drawn.height() * 9 / 10;
    };
    QPointer<QProgressDialog> panel;
    enum class Step { panel, escape, editor, closed } step = Step::panel;
    std::unique_ptr<testsupport::Spawned> tool;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        switch (step) {
        case Step::panel:
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* p = qobject_cast<QProgressDialog*>(w); p && p->isVisible()) panel = p;
            if (!panel || !panel->windowHandle()->isExposed()) return;
            if (!panelOnScreen(*panel)) {
                if (splashUp()) fail(5, "the splash stands over the Opening panel");
                return;
            }
            step = Step::escape;
            return;
        case Step::escape:
            if (!panel) fail(6, "the panel went by itself");
            // It has the keyboard: the key goes to it through the X server.
            if (QGuiApplication::focusWindow() != panel->windowHandle()) return;
            tool = std::make_unique<testsupport::Spawned>(
                std::vector<std::string>{"xdotool", "key", "Escape"}, std::vector<std::string>{}, false);
            step = Step::editor;
            return;
        case Step::editor:
            if (splashUp()) fail(7, "the splash came back");
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* editor = qobject_cast<EditorWindow*>(w);
                    editor && editor->isVisible() && editor->windowHandle()->isExposed()) {
                    if (editor->document().fileURL()) fail(8, "the open was not cancelled");
                    tool = std::make_unique<testsupport::Spawned>(
                        std::vector<std::string>{"wmctrl", "-i", "-c",
                                                 "0x" + QString::number(editor->winId(), 16).toStdString()},
                        std::vector<std::string>{}, false);
                    step = Step::closed;
                }
            return;
        case Step::closed:
            return;
        }
    });
    look.start(20);
    // The program still there a minute later: a step never came, or the close was not heard.
    QTimer::singleShot(60000, [&] {
        std::fprintf(stderr, "stuck at step %d\n", int(step));
        std::_Exit(3);
    });
    std::_Exit(app.run({QString::fromStdString(file.string())}) + 4);
}

} // namespace

// Runs under a real X server with Openbox as its window manager (ctest runs it through xvfb-run); offscreen
// it is skipped. The program starts as a user starts it, splash and all, with a project to open whose read
// waits: its "Opening…" panel shows on the screen with nothing over it, and the splash has gone for good.
// Escape cancels the open, and the window manager's close of the new window left ends the program.
TEST_F(Shell, TheOpeningPanelAtLaunchIsOnTheScreenAndACancelLeavesTheWindowClosableOnX) {
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server: run under xvfb-run with QT_QPA_PLATFORM=xcb";
    for (const char* tool : {"openbox", "wmctrl", "xdotool"})
        if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed";
    testsupport::Spawned openbox({"openbox"}, {}, false);
    ASSERT_TRUE(QTest::qWaitFor([] { return std::system("wmctrl -m > /dev/null 2>&1") == 0; }, 20000));
    const fs::path file = path("Later.osterveil");
    std::ofstream(file, std::ios::binary) << ProjectDocument::contents(ProjectDocument::newProject());
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(launchCancelAndClose(file), ::testing::ExitedWithCode(0), "");
}

// Runs under a real X server (ctest runs it through xvfb-run); offscreen it is skipped.
TEST_F(Shell, ScreenshotOfTheEditorWindowOnX) {
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server: run under xvfb-run with QT_QPA_PLATFORM=xcb";
    EditorApplication::applyLook(*qApp);
    EditorWindow& w = window(controller.newDocument());
    placeClip(w);
    EditorModelTestAccess{w.model()}.setStatus("Sequence 01   1920×1080   24 fps   Preview Half");
    EditorModelTestAccess{w.model()}.setCurrentTime(3723.5);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QTest::qWait(300);
    const QImage shot = w.screen()->grabWindow(w.winId()).toImage();
    EXPECT_EQ(shot.size(), EditorWindow::defaultSize);
    QDir().mkpath(OSTERVEIL_TEST_OUTPUT_DIR);
    EXPECT_TRUE(shot.save(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR "/editor-window.png")));
}

// The menu record of a window: Zoom Out takes a fifth off, slip, slide and roll move one frame (with
// Shift on the keys, five), and Insert and Overwrite hand the focus to the program monitor first.
TEST_F(Shell, TheMenuRecordZoomsByAFifthMovesOneFrameAndPlacesFromTheProgramMonitor) {
    EditorWindow& w = window(controller.newDocument());
    activate(w);
    Project p = w.document().project();
    const MediaItem media{.id = Uuid::make(),
                          .name = "A001.mov",
                          .kind = MediaKind::video,
                          .duration = 60,
                          .nominalFrameRate = 24};
    p.media.push_back(media);
    std::vector<Uuid> ids;
    for (int i = 0; i < 3; ++i) {
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = media.id;
        c.start = 4.0 * i;
        c.duration = 4;
        c.inPoint = 10.0 * (i + 1);
        p.sequence.tracks.mut(0).clips.push_back(c);
        ids.push_back(c.id);
    }
    w.document().setProject(p);
    settle();
    EditorModel& model = w.model();
    const auto clip = [&](int i) {
        return *w.document().project().sequence.clip(ids[static_cast<std::size_t>(i)]);
    };
    const double frame = 1.0 / 24;

    model.setPixelsPerSecond(100);
    w.actions().zoomOut();
    EXPECT_DOUBLE_EQ(model.pixelsPerSecond(), 80);

    model.selectOnly(ids[1]);
    w.actions().slipRight();
    EXPECT_NEAR(clip(1).inPoint, 20 + frame, 1e-9);
    w.actions().slideLeft();
    EXPECT_NEAR(clip(1).start, 4 - frame, 1e-9);
    EXPECT_NEAR(clip(0).duration, 4 - frame, 1e-9);
    w.actions().slideRight();
    EXPECT_NEAR(clip(1).start, 4, 1e-9);
    w.actions().rollLeft();
    EXPECT_NEAR(clip(1).duration, 4 - frame, 1e-9);
    EXPECT_NEAR(clip(2).start, 8 - frame, 1e-9);
    w.actions().rollRight();
    w.actions().slipLeft();
    EXPECT_NEAR(clip(1).inPoint, 20, 1e-9);
    EXPECT_NEAR(clip(2).start, 8, 1e-9);

    w.centralWidget()->setFocus();
    QTest::keyClick(w.windowHandle(), Qt::Key_Left, Qt::AltModifier | Qt::ShiftModifier);
    EXPECT_NEAR(clip(1).inPoint, 20 - 5 * frame, 1e-9);
    QTest::keyClick(w.windowHandle(), Qt::Key_Down, Qt::AltModifier | Qt::ShiftModifier);
    EXPECT_NEAR(clip(1).start, 4 + 5 * frame, 1e-9);
    EXPECT_NEAR(clip(2).start, 8 + 5 * frame, 1e-9);
    QTest::keyClick(w.windowHandle(), Qt::Key_BraceLeft, Qt::ShiftModifier);
    EXPECT_NEAR(clip(1).start + clip(1).duration, 8, 1e-9);
    EXPECT_NEAR(clip(2).start, 8, 1e-9);
    settle();
    EXPECT_EQ(w.document().undoStack()->undoText(), "Roll");

    // Insert and Overwrite place the source's span at the playhead from the program monitor.
    for (auto [place, name] :
         {std::pair{&EditorActions::insert, "Insert"}, {&EditorActions::overwrite, "Overwrite"}}) {
        model.openInSource(media.id);
        model.focusMonitor(EditorModel::MonitorFocus::source);
        settle();
        const int before = w.document().undoStack()->count();
        (w.actions().*place)();
        settle();
        EXPECT_EQ(model.monitorFocus(), EditorModel::MonitorFocus::program) << name;
        EXPECT_EQ(w.document().undoStack()->count(), before + 1) << name;
    }
}
