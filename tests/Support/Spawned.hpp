#pragma once

#include <QStandardPaths>
#include <QString>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace osterveil::testsupport {

// A program run in the background (the sound server's tools, a window manager, a copy of the test
// program); its output, when read, comes through a pipe.
//
// It ends with the test however the test ends. It runs in a process group of its own, which goes,
// stopped or not, when this goes; and the system kills it when the thread that started it ends, as when
// the test program aborts or crashes. It reads nothing and writes nowhere the test runner reads, so that
// nothing it starts in turn holds the runner's pipes open.
class Spawned {
  public:
    Spawned(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
            bool readOutput) {
        const QString named = QString::fromStdString(arguments.front());
        const QString program = named.contains('/') ? named : QStandardPaths::findExecutable(named);
        if (program.isEmpty()) return;
        int fds[2] = {-1, -1};
        if (readOutput && ::pipe2(fds, O_CLOEXEC) != 0) return;
        // All made before the fork: the child of a process with threads may only make system calls.
        std::vector<std::string> args = arguments;
        args.front() = program.toStdString();
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            env.emplace_back(*e);
        env.insert(env.end(), environment.begin(), environment.end());
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            const int nothing = ::open("/dev/null", O_RDWR);
            ::dup2(nothing, 0);
            ::dup2(readOutput ? fds[1] : nothing, 1);
            ::dup2(nothing, 2);
            ::execve(argv.front(), argv.data(), envp.data());
            ::_exit(127);
        }
        if (pid_ > 0) ::setpgid(pid_, pid_); // whichever of the two comes first
        if (readOutput) {
            ::close(fds[1]);
            if (pid_ > 0)
                output_ = fds[0];
            else
                ::close(fds[0]);
        }
        if (pid_ < 0) pid_ = -1;
    }
    ~Spawned() {
        end(SIGKILL);
        if (output_ >= 0) ::close(output_);
    }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int output() const { return output_; }
    bool exited() {
        if (pid_ <= 0) return true;
        siginfo_t info{};
        if (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != pid_)
            return false;
        reap();
        return true;
    }
    void signal(int signal) {
        if (pid_ > 0) ::kill(pid_, signal);
    }
    // Sends `signal` to it and what it started, and waits for it to end; one that takes a signal other
    // than SIGKILL and is still there after a while is killed.
    void end(int signal) {
        if (pid_ <= 0) return;
        ::kill(-pid_, signal);
        // A stopped process takes any signal but SIGKILL only once it goes on.
        ::kill(-pid_, SIGCONT);
        if (signal != SIGKILL) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!exited() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (pid_ <= 0) return;
        }
        reap();
    }

  private:
    // Whatever is left of its group goes with it, while its id still names the group.
    void reap() {
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    int output_ = -1;
};

} // namespace osterveil::testsupport
