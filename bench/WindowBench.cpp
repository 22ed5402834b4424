// Heavy footage in the editor's real window, as a user meets it: the editor started with a project on a
// desktop of its own (Xvfb with Openbox, a private PulseAudio with a null sink), its window maximised,
// Space sent to it, and the picture read back from the screen. Each generated picture carries its file
// and its time in it as a bar code across its top, and the sound a beep at every whole second, so what the
// screen shows can be set against what the sink plays. Beside it, the same heavy files played alone by
// the player on the same core, as `BM_SlowerThanTheFootage` plays its clip. Give it four cores or more;
// the editor gets the first (pinned with taskset, as a user would pin it), the desktop and the recording
// the others:
//   taskset -c 4-7 bench/bench_window
// OSTERVEIL_WINDOW_EDITOR names another build of the editor to start, to set two builds side by side.
// Not part of `make test`: it takes a few minutes, and the fixtures a few more the first time.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sched.h>

#include "App/ProjectDocument.hpp"
#include "Media/MediaProbe.hpp"
#include "Platform/Audio/Output.hpp"
#include "Platform/Media/Player.hpp"
#include "PlayerBenchSupport.hpp"
#include "PulseServer.hpp"
#include "SinkListener.hpp"
#include "Spawned.hpp"
#include "ToneWav.hpp"

// Last: Xlib's macros would change the words of the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace osterveil;
using namespace osterveil::bench;
using Steady = std::chrono::steady_clock;

namespace {

// The bar code: 16 cells across the top eighth of the picture, white guards at each end and fourteen
// bits between them, most significant first: which file (three bits) and the picture's time in it, in
// 120ths of a second.
constexpr int kCells = 16, kBits = 14, kTicks = 120, kTimeBits = 11;

// A file of the sequence: `seconds` at `fps`, its bar code naming it `code`.
struct Piece {
    std::string name;
    int width, height, fps;
    double seconds;
    bool heavy, hevc;
    int code;
};

// Light 1080p clips around an 8 s 4K60 H.264 clip (100 Mbit/s, a key frame a second, three B-frames)
// and a 6 s 4K30 HEVC clip (50 Mbit/s, a key frame a second).
const std::vector<Piece>& pieces() {
    static const std::vector<Piece> all = {
        {"window-light-a", 1920, 1080, 24, 3, false, false, 0},
        {"window-h264", 3840, 2160, 60, 8, true, false, 1},
        {"window-light-b", 1920, 1080, 24, 2, false, false, 2},
        {"window-hevc", 3840, 2160, 30, 6, true, true, 3},
        {"window-light-c", 1920, 1080, 24, 3, false, false, 4},
    };
    return all;
}

// The 1080p24 sequence: the pieces one after the other, the first `lead` seconds long (at most 3).
struct Layout {
    double lead;
    double start(int code) const {
        double t = 0;
        for (const Piece& p : pieces()) {
            if (p.code == code) return t;
            t += p.code == 0 ? lead : p.seconds;
        }
        return t;
    }
    double end() const { return start(int(pieces().size())); }
    // The sequence time of a bar code.
    double time(int value) const {
        return start(value >> kTimeBits) + double(value & ((1 << kTimeBits) - 1)) / kTicks;
    }
};

// Written once by the ffmpeg tool; the heavy ones as `cameraClip` writes its camera clips, with the bar
// code laid over the noise.
std::optional<fs::path> barCodedClip(const Piece& p) {
    const fs::path path = folder() / (p.name + ".mp4");
    if (fs::exists(path)) return path;
    if (std::system("command -v ffmpeg > /dev/null 2>&1") != 0) return std::nullopt;
    const fs::path partial = folder() / (p.name + ".part" + std::to_string(getpid()) + ".mp4");
    const std::string size = std::to_string(p.width) + "x" + std::to_string(p.height);
    const std::string rate = std::to_string(p.fps), seconds = std::to_string(p.seconds);
    const long base = long(p.code) << kTimeBits;
    const int step = kTicks / p.fps;
    const std::string bits = "255*mod(floor((" + std::to_string(base) + "+N*" + std::to_string(step) +
                             ")/pow(2," + std::to_string(kBits) + "-X)),2)";
    const std::string code = "color=c=black:s=" + std::to_string(kCells) + "x1:r=" + rate + ":d=" + seconds +
                             ",format=gray,geq=lum='if(eq(X,0)+eq(X," + std::to_string(kCells - 1) +
                             "),255," + bits + ")',scale=" + std::to_string(p.width) + "x" +
                             std::to_string(p.height / 8) + ":flags=neighbor,format=yuv420p[code]";
    const std::string picture = "testsrc2=size=" + size + ":rate=" + rate + ":duration=" + seconds +
                                (p.heavy ? ",noise=alls=12:allf=t" : "") + ",format=yuv420p[picture]";
    const std::string key = std::to_string(p.fps);
    const std::string codec =
        p.hevc ? "-c:v libx265 -tag:v hvc1 -x265-params log-level=error:keyint=" + key +
                     ":min-keyint=" + key + ":scenecut=0 -b:v 50M -maxrate 50M -bufsize 50M"
        : p.heavy ? "-c:v libx264 -profile:v high -g " + key +
                        " -bf 3 -x264-params scenecut=0 -b:v 100M -maxrate 100M -bufsize 100M"
                  : "-c:v libx264 -profile:v high -g " + std::to_string(2 * p.fps) + " -b:v 20M";
    const std::string command = "ffmpeg -nostdin -y -v error -filter_complex \"" + picture + ";" + code +
                                ";[picture][code]overlay=0:0\" -preset medium " + codec + " " +
                                partial.string();
    if (std::system(command.c_str()) != 0) return std::nullopt;
    fs::rename(partial, path);
    return path;
}

// The sequence with every piece on V1 and a beep of 40 ms at each whole second on A1, written as the
// editor saves it, at a new sequence's preview scale (half size).
std::optional<fs::path> project(const Layout& layout) {
    Project p = ProjectDocument::newProject();
    for (const Piece& piece : pieces()) {
        const auto file = barCodedClip(piece);
        if (!file) return std::nullopt;
        p.media.push_back(MediaProbe::makeItem(*file, std::nullopt));
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = p.media.back().id;
        c.name = piece.name;
        c.start = layout.start(piece.code);
        c.duration = piece.code == 0 ? layout.lead : piece.seconds;
        p.sequence.tracks.mut(0).clips.push_back(c);
    }
    const fs::path beeps = folder() / "window-beeps.wav";
    if (!fs::exists(beeps))
        testsupport::writeFloatWav(beeps, 48000, 2, std::int64_t(30 * 48000), [](std::int64_t i, int) {
            return i % 48000 < 1920 ? 0.8f * float(std::sin(double(i) * 2 * M_PI * 1000 / 48000)) : 0.0f;
        });
    p.media.push_back(MediaProbe::makeItem(beeps, std::nullopt));
    TimelineClip c;
    c.id = Uuid::make();
    c.mediaID = p.media.back().id;
    c.name = "beeps";
    c.duration = layout.end();
    p.sequence.tracks.mut(3).clips.push_back(c);
    const fs::path file = folder() / ("window-lead" + std::to_string(int(layout.lead)) + ".osterveil");
    std::ofstream(file, std::ios::binary) << ProjectDocument::contents(p);
    return file;
}

std::vector<int> ownCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cores;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        for (int c = 0; c < CPU_SETSIZE; ++c)
            if (CPU_ISSET(c, &set)) cores.push_back(c);
    return cores;
}

void pinTo(const std::vector<int>& cores) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const int c : cores)
        CPU_SET(c, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// What a command prints.
std::string output(const std::string& command) {
    std::string out;
    if (FILE* f = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            out.append(buffer, n);
        ::pclose(f);
    }
    return out;
}

template <class Done> bool waitFor(Done done, double seconds) {
    const auto until = Steady::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Steady::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// Where the bar code is on the screen: the row through it, where it starts and a cell's width.
struct Band {
    int y = 0;
    double x = 0, cell = 0;
};

// Reads the bar code on one row of the screen: none where its guards are not there.
std::optional<int> readBand(XImage* row, const Band& band, int rowY) {
    const auto white = [&](int i) {
        const unsigned long px = XGetPixel(row, int(band.x + (i + 0.5) * band.cell), rowY);
        return ((px >> 8) & 0xff) >= 128;
    };
    if (!white(0) || !white(kCells - 1)) return std::nullopt;
    int value = 0;
    for (int i = 1; i <= kBits; ++i)
        value = value * 2 + (white(i) ? 1 : 0);
    return value;
}

// Finds the bar code of sequence time 0 (white, twelve bits and two guards black, white) on the whole
// screen: the largest, the program monitor's (the timeline's pictures of the clips show it too).
std::optional<Band> findBand(Display* display) {
    const int width = DisplayWidth(display, 0), height = DisplayHeight(display, 0);
    XImage* shot = XGetImage(display, DefaultRootWindow(display), 0, 0, unsigned(width), unsigned(height),
                             AllPlanes, ZPixmap);
    if (!shot) return std::nullopt;
    std::optional<Band> found;
    const auto bright = [&](int x, int y) { return ((XGetPixel(shot, x, y) >> 8) & 0xff) >= 128; };
    for (int y = 0; y < height; y += 2) {
        int x = 0;
        while (x < width) {
            // A run of white, then of black, then of white again.
            const int a = x;
            while (x < width && bright(x, y))
                ++x;
            const int whiteRun = x - a, b = x;
            while (x < width && !bright(x, y))
                ++x;
            const int blackRun = x - b, c = x;
            int e = x;
            while (e < width && bright(e, y))
                ++e;
            if (whiteRun >= 4 && std::abs(blackRun - 14 * whiteRun) <= 30 && e - c >= whiteRun - 2) {
                const Band band{y + 2, double(a), double(c + whiteRun - a) / kCells};
                if (readBand(shot, band, band.y) == 0 && (!found || band.cell > found->cell + 0.5))
                    found = band;
            }
            if (x == a) ++x;
        }
    }
    XDestroyImage(shot);
    return found;
}

// The band once it stands in one place (the window may still be moving to its maximised place).
std::optional<Band> settledBand(const std::string& name) {
    Display* display = XOpenDisplay(name.c_str());
    if (!display) return std::nullopt;
    std::optional<Band> before, now;
    waitFor(
        [&] {
            before = now;
            now = findBand(display);
            return now && before && now->y == before->y && now->x == before->x && now->cell == before->cell;
        },
        60);
    XCloseDisplay(display);
    return now && before ? now : std::nullopt;
}

// Reads the band every 5 ms on a thread of its own: each reading's time and value (−1: unreadable).
class ScreenReader {
  public:
    struct Reading {
        Steady::time_point at;
        int value;
    };
    ScreenReader(std::string display, Band band) : band_(band) {
        thread_ = std::thread([this, display] { run(display); });
    }
    ~ScreenReader() { stop(); }
    std::vector<Reading> stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        return readings_;
    }
    int latest() const { return latest_.load(); }

  private:
    void run(const std::string& name) {
        Display* display = XOpenDisplay(name.c_str());
        if (!display) return;
        const int x = int(band_.x), width = int(band_.cell * kCells) + 1;
        auto next = Steady::now();
        while (!stopping_) {
            XImage* row = XGetImage(display, DefaultRootWindow(display), x, band_.y, unsigned(width), 1,
                                    AllPlanes, ZPixmap);
            const auto at = Steady::now();
            int value = -1;
            if (row) {
                Band local = band_;
                local.x = 0;
                value = readBand(row, local, 0).value_or(-1);
                XDestroyImage(row);
            }
            readings_.push_back({at, value});
            latest_ = value;
            next += std::chrono::milliseconds(5);
            std::this_thread::sleep_until(next);
        }
        XCloseDisplay(display);
    }
    Band band_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> latest_{-1};
    std::vector<Reading> readings_;
};

// The sound's sequence time at any moment of the play, from when each whole second's beep was heard.
class SoundTimes {
  public:
    SoundTimes(const testsupport::SinkListener& listener, std::size_t from) {
        const std::vector<float> samples = listener.samples(from);
        std::size_t quiet = 48000;
        std::optional<Steady::time_point> first;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            if (std::abs(samples[i]) <= 0.05f) {
                ++quiet;
                continue;
            }
            if (quiet >= 24000)
                if (const auto at = listener.heardAt(from + i)) {
                    // Seconds by the wall since the first beep, rounded to the second it sounds.
                    if (!first) first = *at;
                    const double k =
                        beeps_.empty()
                            ? 0
                            : beeps_.back().second +
                                  std::round(
                                      std::chrono::duration<double>(*at - beeps_.back().first).count());
                    beeps_.push_back({*at, k});
                }
            quiet = 0;
        }
    }
    bool empty() const { return beeps_.size() < 2; }
    Steady::time_point start() const { return beeps_.front().first; }
    double at(Steady::time_point t) const {
        const auto seconds = [](Steady::time_point a, Steady::time_point b) {
            return std::chrono::duration<double>(b - a).count();
        };
        if (t <= beeps_.front().first) return beeps_.front().second + seconds(beeps_.front().first, t);
        for (std::size_t i = 1; i < beeps_.size(); ++i)
            if (t <= beeps_[i].first)
                return beeps_[i - 1].second + (beeps_[i].second - beeps_[i - 1].second) *
                                                  seconds(beeps_[i - 1].first, t) /
                                                  seconds(beeps_[i - 1].first, beeps_[i].first);
        return beeps_.back().second + seconds(beeps_.back().first, t);
    }

  private:
    std::vector<std::pair<Steady::time_point, double>> beeps_;
};

// What the screen showed over one heavy clip, [from, to) of the sequence.
struct Over {
    double shown = 0, stillMs = 0, onSound = 0, keysWithoutRun = 0, behindMedianMs = 0;
    // Where the longest still was: the sound's time as it began.
    double stillFrom = 0;
    // Pictures shown of each key frame's second.
    std::vector<int> perKey;
};

// The pictures that went up (a new bar code read), each with the sound's time then, over the clip. Only
// the piece's own pictures count: a picture of another file is none of its, whatever time it carries.
Over judge(const std::vector<ScreenReader::Reading>& readings, const SoundTimes& sound, const Layout& layout,
           const Piece& piece) {
    const double from = layout.start(piece.code), to = from + piece.seconds;
    struct Up {
        Steady::time_point at;
        double time, sound;
        int code;
    };
    std::vector<Up> ups;
    int last = -2;
    for (const auto& r : readings) {
        if (r.value < 0 || r.value == last || r.at < sound.start()) continue;
        last = r.value;
        ups.push_back({r.at, layout.time(r.value), sound.at(r.at), r.value >> kTimeBits});
    }
    Over o;
    std::vector<double> behind;
    std::vector<int>& perKey = o.perKey;
    perKey.assign(std::size_t(std::ceil(to - from - 1e-9)), 0);
    for (std::size_t i = 0; i < ups.size(); ++i) {
        const Up& u = ups[i];
        // The time the picture before stood, while the sound was within the clip.
        if (i > 0 && ups[i - 1].sound < to && u.sound >= from) {
            if (const double ms = std::chrono::duration<double, std::milli>(u.at - ups[i - 1].at).count();
                ms > o.stillMs) {
                o.stillMs = ms;
                o.stillFrom = ups[i - 1].sound - from;
            }
        }
        if (u.code != piece.code || u.time < from || u.time >= to) continue;
        ++o.shown;
        // Within a frame of the sound, give or take a reading.
        if (std::abs(u.sound - u.time) <= 1.0 / 24 + 0.005) ++o.onSound;
        behind.push_back(u.sound - u.time);
        ++perKey[std::size_t(u.time - from)];
    }
    // The picture that stood when the sound left the clip.
    if (!ups.empty() && ups.back().sound < to && !readings.empty()) {
        if (const double ms = std::chrono::duration<double, std::milli>(readings.back().at - ups.back().at).count();
            ms > o.stillMs) {
            o.stillMs = ms;
            o.stillFrom = ups.back().sound - from;
        }
    }
    // A run: two pictures or more of a key frame's second.
    for (const int n : perKey)
        o.keysWithoutRun += n < 2;
    if (!behind.empty()) {
        std::sort(behind.begin(), behind.end());
        o.behindMedianMs = 1000 * behind[behind.size() / 2];
    }
    return o;
}

// A desktop of its own: Xvfb on a free display, Openbox on it, and a private sound server.
struct Desktop {
    std::string display;
    std::unique_ptr<testsupport::Spawned> x, windowManager;
    std::unique_ptr<testsupport::PulseServer> sound;
    bool ready = false;

    Desktop() {
        int n = 70;
        while (n < 100 && (fs::exists("/tmp/.X" + std::to_string(n) + "-lock") ||
                           fs::exists("/tmp/.X11-unix/X" + std::to_string(n))))
            ++n;
        display = ":" + std::to_string(n);
        x = std::make_unique<testsupport::Spawned>(
            std::vector<std::string>{"Xvfb", display, "-screen", "0", "1920x1080x24", "-nolisten", "tcp"},
            std::vector<std::string>{}, false);
        if (!x->started() || !waitFor([&] { return fs::exists("/tmp/.X11-unix/X" + std::to_string(n)); }, 20))
            return;
        // The editor and the desktop's tools take the display, and Qt's X platform, from here.
        setenv("DISPLAY", display.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        windowManager = std::make_unique<testsupport::Spawned>(std::vector<std::string>{"openbox"},
                                                               std::vector<std::string>{}, false);
        if (!waitFor([] { return std::system("wmctrl -m > /dev/null 2>&1") == 0; }, 20)) return;
        sound = std::make_unique<testsupport::PulseServer>(true);
        ready = sound->running();
    }
    ~Desktop() {
        sound.reset();
        windowManager.reset();
        x.reset();
    }
};

// The editor's window with the project, maximised and active; empty if it did not come.
std::string editorWindow(pid_t pid) {
    std::string id;
    waitFor(
        [&] {
            std::istringstream lines(output("wmctrl -lp"));
            for (std::string line; std::getline(lines, line);) {
                std::istringstream words(line);
                std::string window, desk, owner;
                words >> window >> desk >> owner;
                if (owner == std::to_string(pid) && line.find("window-lead") != std::string::npos)
                    id = window;
            }
            return !id.empty();
        },
        60);
    if (id.empty()) return id;
    std::system(("wmctrl -i -r " + id + " -b add,maximized_vert,maximized_horz").c_str());
    std::system(("wmctrl -i -a " + id).c_str());
    return id;
}

// Three plays from the start, each in a newly started editor, the light clip before the heavy ones `lead_s`
// seconds long. For each heavy clip, while the sound ran through it: pictures put up a second (the mean
// and the fewest of a play), the longest the picture stood still, the least share of its pictures that
// went up within a frame of their sound, the key frames whose second had no run (fewer than two of its
// pictures) over the three plays, and the most, over the plays, of the median of how far the pictures
// were behind their sound. Each play is told on the standard error, with its pictures of each key
// frame's second.
void BM_HeavyFootageInTheWindow(benchmark::State& state) {
    for (const char* tool : {"Xvfb", "openbox", "wmctrl", "xdotool", "pulseaudio", "ffmpeg", "taskset"})
        if (QStandardPaths::findExecutable(tool).isEmpty()) {
            state.SkipWithError((std::string(tool) + " is not installed").c_str());
            return;
        }
    const std::vector<int> cores = ownCores();
    if (cores.size() < 2) {
        state.SkipWithError("needs two cores or more: one for the editor, the others for the desktop");
        return;
    }
    const Layout layout{double(state.range(0))};
    const auto file = project(layout);
    if (!file) {
        state.SkipWithError("the fixtures could not be written");
        return;
    }
    const std::string editorCore = std::to_string(cores.front());
    pinTo(std::vector<int>(cores.begin() + 1, cores.end()));
    Desktop desktop;
    if (!desktop.ready) {
        state.SkipWithError("no desktop (Xvfb, Openbox, PulseAudio) could be started");
        return;
    }
    const Piece &h264 = pieces()[1], &hevc = pieces()[3];
    Over sum264, sumHevc, worst264{1e9, 0, 1e9, 0, 0}, worstHevc{1e9, 0, 1e9, 0, 0};
    int plays = 0;
    for (auto _ : state) {
        const char* other = getenv("OSTERVEIL_WINDOW_EDITOR");
        testsupport::Spawned editor(
            {"taskset", "-c", editorCore, other ? other : OSTERVEIL_EDITOR, file->string()}, {}, false);
        const std::string window = editorWindow(editor.pid());
        const std::optional<Band> band = window.empty() ? std::nullopt : settledBand(desktop.display);
        if (!band) {
            state.SkipWithError("the editor's window never showed the sequence's first picture");
            return;
        }
        // A moment after the picture, as a user would look before pressing Space.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        testsupport::SinkListener listener("null.monitor", audio::Output::sampleRate / 50);
        if (!listener.started()) {
            state.SkipWithError("cannot listen to the sink");
            return;
        }
        ScreenReader reader(desktop.display, *band);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const std::size_t from = listener.size();
        std::system(("xdotool windowactivate --sync " + window + " key space").c_str());
        // Until the last picture, or long past the sequence's end.
        const int lastValue = (4 << kTimeBits) + (pieces()[4].seconds * 24 - 1) * (kTicks / 24);
        waitFor([&] { return reader.latest() == lastValue; }, layout.end() + 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto readings = reader.stop();
        const SoundTimes sound(listener, from);
        editor.end(SIGTERM);
        if (sound.empty()) {
            state.SkipWithError("the play was not heard");
            return;
        }
        ++plays;
        const auto unreadable =
            std::count_if(readings.begin(), readings.end(), [](const auto& r) { return r.value < 0; });
        std::fprintf(stderr, "play %d: %zu readings of the screen, %td unreadable\n", plays + 0,
                     readings.size(), unreadable);
        for (auto [piece, sum, worst] :
             {std::tuple{&h264, &sum264, &worst264}, std::tuple{&hevc, &sumHevc, &worstHevc}}) {
            const Over o = judge(readings, sound, layout, *piece);
            sum->shown += o.shown / piece->seconds;
            sum->onSound += o.onSound;
            worst->shown = std::min(worst->shown, o.shown / piece->seconds);
            worst->stillMs = std::max(worst->stillMs, o.stillMs);
            worst->onSound = std::min(worst->onSound, o.onSound / std::max(1.0, o.shown));
            worst->keysWithoutRun += o.keysWithoutRun;
            worst->behindMedianMs = std::max(worst->behindMedianMs, o.behindMedianMs);
            std::fprintf(stderr,
                         "play %d, %s: %.2f pictures/s, longest still %.0f ms (from %.2f s into the clip), %g of "
                         "%g on their sound, median %.0f ms behind, %g key frames without a run\n",
                         plays, piece->name.c_str(), o.shown / piece->seconds, o.stillMs, o.stillFrom, o.onSound,
                         o.shown,
                         o.behindMedianMs, o.keysWithoutRun);
            std::string keys;
            for (const int n : o.perKey)
                keys += " " + std::to_string(n);
            std::fprintf(stderr, "  pictures of each key frame's second:%s\n", keys.c_str());
        }
    }
    pinTo(cores);
    for (auto [prefix, sum, worst] :
         {std::tuple{"h264_", &sum264, &worst264}, std::tuple{"hevc_", &sumHevc, &worstHevc}}) {
        const std::string p = prefix;
        state.counters[p + "shown_per_s_mean"] = sum->shown / std::max(1, plays);
        state.counters[p + "shown_per_s_min"] = worst->shown;
        state.counters[p + "still_max_ms"] = worst->stillMs;
        state.counters[p + "on_sound_share_min"] = worst->onSound;
        state.counters[p + "keys_without_run"] = worst->keysWithoutRun;
        state.counters[p + "behind_median_max_ms"] = worst->behindMedianMs;
    }
}
BENCHMARK(BM_HeavyFootageInTheWindow)
    ->Arg(3)
    ->Arg(1)
    ->ArgName("lead_s")
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(3);

// The same heavy files played alone by the player through the null output on the editor's core (the
// first of the program's), as `BM_SlowerThanTheFootage` plays its clip: the figures the window is held to.
void BM_TheWindowsHeavyFilesAlone(benchmark::State& state) {
    const Piece& piece = pieces()[state.range(0) == 1 ? 3 : 1];
    const auto file = barCodedClip(piece);
    if (!file) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    const std::vector<int> cores = ownCores();
    pinTo({cores.front()});
    const auto item = media::PlayerItem::file(*file);
    double still = 0, perSecond = 1e9, offAFrame = 0;
    for (auto _ : state) {
        media::Player player(audio::Output::createNull());
        player.setItem(item);
        runUntil([&] { return !player.currentFrame().picture.isNull(); }, 30);
        const PlayRecord play(player);
        const auto all = play.over(0, 1e9, 1.0 / piece.fps);
        still = std::max(still, all.stillMs);
        perSecond = std::min(perSecond, double(all.shown) /
                                            std::chrono::duration<double>(play.ended - play.started).count());
        offAFrame += double(all.offAFrame);
    }
    pinTo(cores);
    state.counters["still_max_ms"] = still;
    state.counters["shown_per_s_min"] = perSecond;
    state.counters["off_a_frame"] = offAFrame;
}
BENCHMARK(BM_TheWindowsHeavyFilesAlone)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("hevc")
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    XInitThreads();
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
