#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include "Spawned.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace osterveil::testsupport {

// Records what the null sink plays, from its monitor, as 48 kHz stereo float. Each piece is stamped with
// the steady clock when it arrived, so a sample's wall-clock time can be told.
class SinkRecorder {
  public:
    SinkRecorder()
        : parec_({"parec", "--device=null.monitor", "--format=float32le", "--rate=48000", "--channels=2",
                  "--latency-msec=5", "--raw"},
                 {}, true) {
        if (parec_.started()) reader_ = std::thread([this] { read(parec_.output()); });
    }
    ~SinkRecorder() { finish(); }
    SinkRecorder(const SinkRecorder&) = delete;
    SinkRecorder& operator=(const SinkRecorder&) = delete;

    bool started() const { return parec_.started(); }

    // Stops recording and returns the left channel.
    std::vector<float> finish() {
        parec_.end(SIGTERM);
        if (reader_.joinable()) reader_.join();
        return left();
    }

    // The left channel recorded so far.
    std::vector<float> left() const {
        std::lock_guard lock(mutex_);
        std::vector<float> left(samples_.size() / 2);
        for (std::size_t i = 0; i < left.size(); ++i)
            left[i] = samples_[2 * i];
        return left;
    }

    // The steady-clock time at which frame 0 was played: each piece arrives after the frames in it
    // were played, so the earliest arrival, less what has been recorded, is the closest bound.
    std::chrono::steady_clock::time_point origin() const {
        std::lock_guard lock(mutex_);
        return origin_;
    }

  private:
    // Blocking reads on a thread of its own, so each arrival is stamped at once.
    void read(int fd) {
        std::vector<char> buffer(1 << 14);
        std::string partial;
        bool first = true;
        for (;;) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n <= 0) break;
            const auto now = std::chrono::steady_clock::now();
            partial.append(buffer.data(), std::size_t(n));
            const std::size_t whole = partial.size() / sizeof(float) * sizeof(float);
            std::lock_guard lock(mutex_);
            const std::size_t before = samples_.size();
            samples_.resize(before + whole / sizeof(float));
            std::memcpy(samples_.data() + before, partial.data(), whole);
            partial.erase(0, whole);
            const std::chrono::duration<double> recorded(double(samples_.size() / 2) / 48000);
            const auto origin = now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(recorded);
            if (first || origin < origin_) origin_ = origin;
            first = false;
        }
    }

    Spawned parec_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::vector<float> samples_;
    std::chrono::steady_clock::time_point origin_;
};

// A private PulseAudio daemon with one null sink, in a runtime folder of its own, standing in for a
// desktop's sound server. While it runs, PULSE_SERVER names it, so every client of the process (the
// program's sound output, `parec`) talks to it and to nothing else on the machine.
//
// OSTERVEIL_PULSE_SERVER names another server to use instead, with a sink named "null" (PipeWire's
// PulseAudio service, say); the tests that stall or kill the server then skip.
class PulseServer {
  public:
    // `keepsSinkBusy`: a stream of silence plays into the sink all along (see below), and holds it to a
    // period of 5 ms; without it the sink's period is what its players ask for, as on a desktop.
    explicit PulseServer(bool keepsSinkBusy = true) {
        if (const QByteArray other = qgetenv("OSTERVEIL_PULSE_SERVER"); !other.isEmpty()) {
            socket_ = other.toStdString();
            qputenv("PULSE_SERVER", other);
            running_ = external_ = true;
            return;
        }
        if (!folder_.isValid()) return;
        const std::string folder = folder_.path().toStdString();
        socket_ = folder + "/native";
        daemon_ = std::make_unique<Spawned>(
            std::vector<std::string>{"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                     "--log-level=error", "--load=module-null-sink rate=48000 format=float32le",
                                     "--load=module-native-protocol-unix socket=" + socket_},
            std::vector<std::string>{"HOME=" + folder, "XDG_RUNTIME_DIR=" + folder, "XDG_CONFIG_HOME=" + folder,
                                     "PULSE_RUNTIME_PATH=" + folder},
            false);
        if (!daemon_->started()) return;
        // Ready once its socket takes a connection.
        const QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && !daemon_->exited()) {
            if (accepts()) {
                running_ = true;
                break;
            }
            QThread::msleep(5);
        }
        if (!running_) return;
        qputenv("PULSE_SERVER", QByteArray::fromStdString("unix:" + socket_));
        if (!keepsSinkBusy) return;
        // An idle null sink renders in blocks of seconds, so a stream would wait that long to start;
        // a stream of silence keeps it rendering in short blocks, as a real device plays.
        keeper_ = std::make_unique<Spawned>(
            std::vector<std::string>{"pacat", "--playback", "--raw", "--format=float32le", "--rate=48000",
                                     "--channels=2", "--latency-msec=10", "/dev/zero"},
            std::vector<std::string>{}, false);
        const QDeadlineTimer playing(20000);
        while (!playing.hasExpired() && streams() < 1)
            QThread::msleep(5);
        // The sink's first block was timed before the stream came; waking it starts it afresh.
        if (std::system("pactl suspend-sink null 1 && pactl suspend-sink null 0") != 0) running_ = false;
    }

    ~PulseServer() {
        keeper_.reset();
        daemon_.reset();
        if (external_ || qgetenv("PULSE_SERVER") == QByteArray::fromStdString("unix:" + socket_))
            qunsetenv("PULSE_SERVER");
    }

    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    bool running() const { return running_; }
    // The daemon's process; none for someone else's server.
    pid_t pid() const { return daemon_ ? daemon_->pid() : -1; }
    // Someone else's server, which the tests may not stall or end.
    bool external() const { return external_; }

    // Ends the daemon at once, as a crash would.
    void kill() {
        if (external_) return;
        keeper_.reset();
        daemon_->end(SIGKILL);
        running_ = false;
    }
    // Stops it as a debugger would, and lets it go on.
    void pause() {
        if (daemon_) daemon_->signal(SIGSTOP);
    }
    void resume() {
        if (daemon_) daemon_->signal(SIGCONT);
    }
    // Stops it for `milliseconds` from a program of its own, so that the pause lasts that long whatever
    // this process is doing; the program has exited once the daemon goes on.
    std::unique_ptr<Spawned> pauseFor(int milliseconds) {
        if (!daemon_ || !daemon_->started()) return nullptr;
        const std::string pid = std::to_string(daemon_->pid());
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", milliseconds / 1000.0);
        return std::make_unique<Spawned>(
            std::vector<std::string>{"sh", "-c", "kill -STOP " + pid + "; sleep " + seconds + "; kill -CONT " + pid},
            std::vector<std::string>{}, false);
    }

    // Streams playing into the sink.
    static int streams() {
        FILE* pactl = ::popen("pactl list short sink-inputs 2>/dev/null", "r");
        if (!pactl) return 0;
        int lines = 0;
        for (int c; (c = std::fgetc(pactl)) != EOF;)
            lines += c == '\n';
        ::pclose(pactl);
        return lines;
    }

  private:
    bool accepts() const {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_.c_str(), sizeof(address.sun_path) - 1);
        const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
        ::close(fd);
        return ok;
    }
    QTemporaryDir folder_;
    std::string socket_;
    std::unique_ptr<Spawned> daemon_;
    std::unique_ptr<Spawned> keeper_;
    bool running_ = false;
    bool external_ = false;
};

} // namespace osterveil::testsupport
