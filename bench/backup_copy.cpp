// Times the host file-system service's CopyFile alone, the way the repair run
// makes its backup:
//   backup_copy SOURCE DESTINATION
// Both are host paths in one folder; that folder becomes drive C: so the
// service sees native paths as in the run. Prints "copy_seconds: S" (the call
// alone, without process start) and exits non-zero on failure.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <chrono>
#include <cstdio>

#include "platform/DriveMap.h"
#include "platform/Failure.h"
#include "platform/host/HostFileSystem.h"

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 3) {
        std::fputs("usage: backup_copy SOURCE DESTINATION\n", stderr);
        return 2;
    }
    const QFileInfo source(arguments[1]);
    const QFileInfo destination(arguments[2]);
    if (source.absolutePath() != destination.absolutePath()) {
        std::fputs("backup_copy: SOURCE and DESTINATION must share a folder\n", stderr);
        return 2;
    }
    const auto drives = platform::DriveMap::withRoot(QLatin1Char('C'), source.absolutePath());
    const auto fileSystem = platform::makeHostFileSystem(drives);
    const QString from = QStringLiteral("C:\\") + source.fileName();
    const QString to = QStringLiteral("C:\\") + destination.fileName();
    try {
        const auto start = std::chrono::steady_clock::now();
        fileSystem->CopyFile(from, to, true);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("copy_seconds: %.6f\n", took.count());
    } catch (const platform::Failure& failure) {
        std::fprintf(stderr, "backup_copy: %s\n", failure.what());
        return 1;
    }
    return 0;
}
