#pragma once

#include <QStandardPaths>
#include <QString>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace osterveil::testsupport {

// A program run in the background (the sound server's tools, a window manager); its output, when read,
// comes through a pipe. Ended by its pid.
class Spawned {
  public:
    Spawned(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
            bool readOutput) {
        const QString program = QStandardPaths::findExecutable(QString::fromStdString(arguments.front()));
        if (program.isEmpty()) return;
        int fds[2] = {-1, -1};
        if (readOutput && ::pipe2(fds, O_CLOEXEC) != 0) return;
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
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (readOutput)
            posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        else
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        const bool spawned =
            posix_spawn(&pid_, argv.front(), &actions, nullptr, argv.data(), envp.data()) == 0;
        posix_spawn_file_actions_destroy(&actions);
        if (readOutput) {
            ::close(fds[1]);
            if (spawned)
                output_ = fds[0];
            else
                ::close(fds[0]);
        }
        if (!spawned) pid_ = -1;
    }
    ~Spawned() {
        end(SIGTERM);
        if (output_ >= 0) ::close(output_);
    }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int output() const { return output_; }
    bool exited() {
        if (pid_ <= 0) return true;
        if (::waitpid(pid_, nullptr, WNOHANG) != pid_) return false;
        pid_ = -1;
        return true;
    }
    void signal(int signal) {
        if (pid_ > 0) ::kill(pid_, signal);
    }
    void end(int signal) {
        if (pid_ <= 0) return;
        ::kill(pid_, signal);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int output_ = -1;
};

} // namespace osterveil::testsupport
