#pragma once
// Starts a program on a new pseudo-terminal, as if a person ran it in a terminal window:
// its stdin, stdout and stderr are the terminal. The test reads everything it writes and can
// type into it.

#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>

#include "support/ChildProcess.h"

namespace tessel::test {

class PtyProcess {
public:
    explicit PtyProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                        unsigned short columns = 160) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const std::string slave = ptsname(master_);
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            const int s = open(slave.c_str(), O_RDWR);
            if (s < 0) _exit(126);
            ioctl(s, TIOCSCTTY, 0);
            winsize size{};
            size.ws_col = columns;
            size.ws_row = 40;
            ioctl(s, TIOCSWINSZ, &size);
            dup2(s, STDIN_FILENO);
            dup2(s, STDOUT_FILENO);
            dup2(s, STDERR_FILENO);
            if (s > STDERR_FILENO) close(s);
            close(master_);
            Exec(argv, env);
        }
    }
    ~PtyProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }

    // Reads until `text` has appeared (true) or the program closed the terminal (false).
    bool ReadUntil(const std::string& text) {
        while (output_.find(text, scanned_) == std::string::npos) {
            if (!ReadSome()) return false;
        }
        scanned_ = output_.find(text, scanned_) + text.size();
        return true;
    }

    void Type(const std::string& text) {
        if (write(master_, text.data(), text.size()) < 0) return;
    }

    void Signal(int sig) { kill(pid_, sig); }

    // Whether the terminal echoes what is typed, as the program (or its end) left it.
    bool Echoes() const {
        termios t{};
        return tcgetattr(master_, &t) == 0 && (t.c_lflag & ECHO);
    }

    // Waits (a second at most) until the terminal echoes, or not, as `on` says.
    bool WaitForEcho(bool on) const {
        for (int i = 0; i < 200 && Echoes() != on; ++i) usleep(5000);
        return Echoes() == on;
    }

    // Everything until the program ends, and its exit status.
    int Finish() {
        while (ReadSome()) {
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        return ExitStatus(status);
    }

    const std::string& Output() const { return output_; }

private:
    bool ReadSome() {
        char buf[4096];
        const ssize_t n = read(master_, buf, sizeof buf);
        // EIO: the last holder of the terminal has closed it.
        if (n <= 0) return false;
        output_.append(buf, static_cast<size_t>(n));
        return true;
    }

    int master_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string output_;
    size_t scanned_ = 0;
};

}  // namespace tessel::test
