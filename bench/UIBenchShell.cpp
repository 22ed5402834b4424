// The program's windows: how long from launch to the first painted editor window, and from opening a
// long project to its window drawn. Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QWidget>
#include <chrono>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "App/DocumentController.hpp"
#include "UI/Shell/DocumentWindows.hpp"
#include "UI/Shell/EditorWindow.hpp"
#include "UI/Shell/KestwaterApp.hpp"

using namespace osterveil;

namespace {

// Seconds since this process started, from the kernel's record of its start.
double secondsSinceProcessStart() {
    std::ifstream stat("/proc/self/stat");
    std::string line;
    std::getline(stat, line);
    // The fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long startTicks = 0;
    for (int i = 3; i <= 22 && fields >> field; ++i)
        if (i == 22) startTicks = std::stoull(field);
    double uptime = 0;
    std::ifstream("/proc/uptime") >> uptime;
    return uptime - double(startTicks) / double(sysconf(_SC_CLK_TCK));
}

// Waits until some widget of `window` has been painted.
class FirstPaint : public QObject {
  public:
    explicit FirstPaint(QWidget* window) : window_(window) { qApp->installEventFilter(this); }
    ~FirstPaint() override { qApp->removeEventFilter(this); }
    void wait() {
        while (!painted_)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->window() == window_)
            painted_ = true;
        return false;
    }

  private:
    QWidget* window_;
    bool painted_ = false;
};

struct Program {
    Program() : app(*qApp) {}
    KestwaterApp app;

    void closeAll() {
        for (ProjectDocument* d : app.documents().documents()) {
            if (EditorWindow* w = app.windows().window(*d)) {
                w->closeWithoutAsking();
                w->close();
            }
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

Program& program() {
    static Program p;
    return p;
}

// The program's launch as `main` runs it, up to the first paint of the new window, timed from the
// process's start: measured once, at the first run.
void BM_LaunchToFirstPaintedWindow(benchmark::State& state) {
    static const double launch = [] {
        Program& p = program();
        p.app.applicationWillFinishLaunching();
        p.app.documents().openAtLaunch({});
        EditorWindow* w = p.app.windows().window(*p.app.documents().documents().front());
        FirstPaint paint(w);
        p.app.applicationDidFinishLaunching();
        paint.wait();
        const double seconds = secondsSinceProcessStart();
        p.closeAll();
        return seconds;
    }();
    for (auto _ : state)
        state.SetIterationTime(launch);
}
BENCHMARK(BM_LaunchToFirstPaintedWindow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// File > New once the program is running.
void BM_NewWindowToFirstPaint(benchmark::State& state) {
    Program& p = program();
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        ProjectDocument& d = p.app.documents().newDocument();
        FirstPaint paint(p.app.windows().window(d));
        paint.wait();
        state.SetIterationTime(double(timer.nsecsElapsed()) * 1e-9);
        p.closeAll();
    }
}
BENCHMARK(BM_NewWindowToFirstPaint)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// A saved project of 10,000 clips on six tracks over 200 media items, opened from its file to its
// window drawn.
void BM_OpenLongProjectToDrawnWindow(benchmark::State& state) {
    static QTemporaryDir dir;
    static const std::filesystem::path file = [] {
        Project p = ProjectDocument::newProject();
        for (int m = 0; m < 200; ++m) {
            MediaItem item;
            item.id = Uuid::make();
            item.name = "A001_C" + std::to_string(m) + ".mov";
            item.path = "/footage/" + item.name;
            item.duration = 60;
            item.width = 1920;
            item.height = 1080;
            item.hasVideo = true;
            p.media.push_back(item);
        }
        for (int i = 0; i < 10000; ++i) {
            TimelineClip c;
            c.id = Uuid::make();
            c.mediaID = p.media[std::size_t(i % 200)].id;
            c.name = p.media[std::size_t(i % 200)].name;
            c.start = (i / 6) * 2.0;
            c.duration = 2.0;
            c.inPoint = 1.0;
            p.sequence.tracks.mut(std::size_t(i % 6)).clips.push_back(c);
        }
        const std::filesystem::path f = std::filesystem::path(dir.path().toStdString()) / "long.osterveil";
        std::ofstream(f, std::ios::binary) << ProjectDocument::contents(p);
        return f;
    }();
    Program& p = program();
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        ProjectDocument* d = nullptr;
        bool opened = false;
        p.app.documents().openFile(file, [&](ProjectDocument* document) {
            d = document;
            opened = true;
        });
        while (!opened)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!d) {
            state.SkipWithError("the project did not open");
            return;
        }
        FirstPaint paint(p.app.windows().window(*d));
        paint.wait();
        state.SetIterationTime(double(timer.nsecsElapsed()) * 1e-9);
        p.closeAll();
    }
    state.counters["file MB"] = double(std::filesystem::file_size(file)) / 1e6;
}
BENCHMARK(BM_OpenLongProjectToDrawnWindow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace
