#pragma once
// Starts a program with its stdout on a pipe, for end-to-end tests; and what starting a program
// shares with starting one on a terminal (PtyProcess.h).

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace tessel::test {

// In a forked child: puts `env` ("NAME=value" settings) into the environment and runs `argv`.
[[noreturn]] inline void Exec(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// A wait status as a shell says it: the exit status, or 128 and the signal.
inline int ExitStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

class ChildProcess {
public:
    // The child reads nothing: its stdin is /dev/null, so a question it would put to a terminal
    // gets the no-terminal answer. With `withStderr` its stderr goes to the pipe of its stdout.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                          bool withStderr = false) {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            if (withStderr) dup2(out[1], STDERR_FILENO);
            const int devNull = open("/dev/null", O_RDONLY);
            if (devNull >= 0) dup2(devNull, STDIN_FILENO);
            close(out[0]);
            close(out[1]);
            Exec(argv, env);
        }
        close(out[1]);
        stdout_ = out[0];
    }
    ~ChildProcess() {
        if (pid_ > 0 && !reaped_) kill(pid_, SIGKILL);
        Reap(0);
        if (stdout_ >= 0) close(stdout_);
    }

    // Everything up to the end of the output, and the exit status.
    int ReadAll(std::string* out) {
        char buf[4096];
        for (ssize_t n; (n = read(stdout_, buf, sizeof buf)) > 0;) out->append(buf, static_cast<size_t>(n));
        Reap(0);
        return status_;
    }

    std::string ReadLine() {
        std::string line;
        char c;
        while (read(stdout_, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }

    // Sends a signal without waiting.
    void Signal(int sig) { kill(pid_, sig); }

    // Sends a signal (0: none) and waits (up to 5 s) for the exit status; -1 when it did not end.
    int Stop(int sig = SIGTERM) {
        if (!reaped_) kill(pid_, sig);
        for (int i = 0; i < 500 && !Reap(WNOHANG); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return status_;
    }

private:
    bool Reap(int flags) {
        int status = 0;
        if (pid_ > 0 && !reaped_ && waitpid(pid_, &status, flags) == pid_) {
            reaped_ = true;
            status_ = ExitStatus(status);
        }
        return reaped_;
    }

    pid_t pid_ = -1;
    int stdout_ = -1;
    bool reaped_ = false;
    int status_ = -1;  // the exit status once reaped
};

}  // namespace tessel::test
