#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QString>
#include <QThread>
#include <cerrno>
#include <vector>

// A private X server (Xvfb) for tests that drive real windows. Xvfb picks a
// free display number itself (-displayfd) and writes it to a pipe, so two
// test runs on one machine never collide. No window manager runs on it.
class XvfbSession {
  public:
    XvfbSession() = default;
    XvfbSession(const XvfbSession&) = delete;
    XvfbSession& operator=(const XvfbSession&) = delete;
    ~XvfbSession() { stop(); }

    static QString executable() { return QStandardPaths::findExecutable(QStringLiteral("Xvfb")); }

    // Starts the server and waits until it accepts connections; false (with
    // error() saying why) if it could not.
    bool start(int timeoutMs = 30000) {
        const QString program = executable();
        if (program.isEmpty()) return fail("Xvfb is not installed");
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return fail("pipe failed");

        // Everything the child needs is prepared before fork: between fork and
        // exec only async-signal-safe calls are allowed in a threaded process.
        const QByteArray path = program.toLocal8Bit();
        const QByteArray fdText = QByteArray::number(fds[1]);
        std::vector<QByteArray> arguments = {path,          "-displayfd", fdText, "-screen", "0",
                                             "1024x768x24", "-nolisten",  "tcp",  "-noreset"};
        std::vector<char*> argv;
        for (QByteArray& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);

        pid_ = ::fork();
        if (pid_ < 0) {
            ::close(fds[0]);
            ::close(fds[1]);
            return fail("fork failed");
        }
        if (pid_ == 0) {
            // A test binary that dies must not leave its server behind.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            // The write end must survive exec; the read end must not.
            ::fcntl(fds[1], F_SETFD, 0);
            const int devNull = ::open("/dev/null", O_WRONLY);
            if (devNull >= 0) {
                ::dup2(devNull, STDOUT_FILENO);
                ::dup2(devNull, STDERR_FILENO);
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        const QByteArray number = readLine(fds[0], timeoutMs);
        ::close(fds[0]);
        bool ok = false;
        const int display = number.trimmed().toInt(&ok);
        if (!ok) {
            stop();
            return fail("Xvfb did not report a display number");
        }
        display_ = QStringLiteral(":%1").arg(display);
        return true;
    }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        QElapsedTimer timer;
        timer.start();
        while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (timer.elapsed() > 5000) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                break;
            }
            QThread::msleep(20);
        }
        pid_ = -1;
    }

    // The DISPLAY value for clients, e.g. ":7".
    const QString& display() const { return display_; }
    const QString& error() const { return error_; }

  private:
    bool fail(const char* why) {
        error_ = QString::fromLatin1(why);
        return false;
    }

    // Xvfb writes the number only once it is ready for clients.
    static QByteArray readLine(int fd, int timeoutMs) {
        QByteArray line;
        QElapsedTimer timer;
        timer.start();
        while (!line.contains('\n') && timer.elapsed() < timeoutMs) {
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, 100);
            if (ready < 0 && errno != EINTR) break;
            if (ready <= 0) continue;
            char buffer[32];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            line.append(buffer, n);
        }
        return line;
    }

    pid_t pid_ = -1;
    QString display_;
    QString error_;
};
