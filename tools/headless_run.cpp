// Runs the whole repair run without a window: against a drive root or a
// Wine prefix, with a given school code, printing every message the window
// would show and the outcome, and ending with the program's exit status. The
// long steps run off the main thread as under the window. Tests, the
// benchmark and crash tests drive the program through it.
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QHash>
#include <QThread>
#include <cstdio>

#include "app/ProductionServices.h"
#include "repair/OffThread.h"
#include "repair/RepairRun.h"
#include "sample/ObservedServices.h"
#include "sample/RecordingWindow.h"

namespace {

struct Options {
    QString driveRoot;
    QString winePrefix;
    QString code;
    bool codeGiven = false;
    bool trace = false;
    QString killBefore;   // "Operation" or "Operation:N" (N-th occurrence)
    QString sleepBefore;  // "Operation=milliseconds"
};

void printUsage() {
    std::fprintf(stderr,
                 "usage: headless_run (--drive-root DIR | --wine-prefix DIR) --code CODE\n"
                 "                    [--trace] [--kill-before OP[:N]] [--sleep-before OP=MS]\n");
}

bool parse(const QStringList& args, Options& options) {
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--trace") {
            options.trace = true;
        } else if (!hasValue) {
            return false;
        } else if (arg == "--drive-root") {
            options.driveRoot = args[++i];
        } else if (arg == "--wine-prefix") {
            options.winePrefix = args[++i];
        } else if (arg == "--code") {
            options.code = args[++i];
            options.codeGiven = true;
        } else if (arg == "--kill-before") {
            options.killBefore = args[++i];
        } else if (arg == "--sleep-before") {
            options.sleepBefore = args[++i];
        } else {
            return false;
        }
    }
    return options.codeGiven;
}

QString visible(QString text) {
    return text.replace(QStringLiteral("\r"), QStringLiteral("\\r"))
        .replace(QStringLiteral("\n"), QStringLiteral("\\n"));
}

void printMessage(const platform::Message& message) {
    const QString title = !message.title ? QStringLiteral("(application title)")
                                         : QLatin1Char('"') + *message.title + QLatin1Char('"');
    std::printf("message: icon=%d title=%s\nprompt: %s\n", static_cast<int>(message.icon),
                qPrintable(title), qPrintable(visible(message.prompt)));
}

// The recording window, with the long steps on a thread of their own as the
// real window does them.
class HeadlessWindow : public repair::RecordingWindow {
  public:
    using RecordingWindow::RecordingWindow;
    void runLongStep(const std::function<void()>& step) override { repair::runOffThread(step); }
};

// Not one of the program's exit statuses.
constexpr int kUsageStatus = 64;

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Options options;
    if (!parse(app.arguments(), options)) {
        printUsage();
        return kUsageStatus;
    }
    const auto drives = !options.driveRoot.isEmpty()
                            ? platform::DriveMap::withRoot(QLatin1Char('C'), options.driveRoot)
                        : !options.winePrefix.isEmpty()
                            ? platform::DriveMap::fromWinePrefix(options.winePrefix)
                            : platform::DriveMap::fromWinePrefix();

    const QString killOperation = options.killBefore.section(QLatin1Char(':'), 0, 0);
    const int killOccurrence = options.killBefore.section(QLatin1Char(':'), 1, 1).toInt();
    const QString sleepOperation = options.sleepBefore.section(QLatin1Char('='), 0, 0);
    const int sleepMs = options.sleepBefore.section(QLatin1Char('='), 1, 1).toInt();
    QHash<QString, int> seen;
    auto observer = [&](const QString& operation, const QString& argument) {
        const int occurrence = ++seen[operation];
        if (options.trace) {
            std::fprintf(stderr, "op: %s %s\n", qPrintable(operation), qPrintable(argument));
            std::fflush(stderr);
        }
        if (operation == sleepOperation) QThread::msleep(static_cast<unsigned long>(sleepMs));
        if (operation == killOperation && (killOccurrence == 0 || killOccurrence == occurrence)) {
            std::fflush(stdout);
            ::kill(::getpid(), SIGKILL);
        }
    };

    HeadlessWindow window(options.code);
    repair::RepairRun run(window, sample::observeServices(productionServices(drives), observer));
    const repair::Outcome outcome = run.cmdRepair_Click();
    for (const platform::Message& message : window.messages) printMessage(message);
    std::printf("outcome: %s\n", repair::outcomeName(outcome));
    std::printf("window: %s\n", window.closed ? "closed" : "open");
    return window.exitStatus;
}
