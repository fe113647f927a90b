// Runs the engine's compaction alone, as the repair run calls it, and prints
// how long each of its steps took:
//   compact_steps SOURCE DESTINATION PASSWORD
// DESTINATION must not exist; it is left in place. Prints one "name: seconds"
// line per step and the whole call, and exits non-zero on failure.
#include <sqlite3.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <chrono>
#include <cstdio>

#include "platform/Failure.h"
#include "platform/engine/CompactDatabase.h"

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 4) {
        std::fputs("usage: compact_steps SOURCE DESTINATION PASSWORD\n", stderr);
        return 2;
    }
    platform::engine::CompactRequest request;
    request.source = request.nativeSource = QFileInfo(arguments[1]).absoluteFilePath();
    request.destination = request.nativeDestination = QFileInfo(arguments[2]).absoluteFilePath();
    request.lockFile = request.nativeLockFile = request.destination + QStringLiteral(".ldb");
    request.password = arguments[3].toUtf8();
    try {
        const auto start = std::chrono::steady_clock::now();
        const platform::engine::CompactResult result = platform::engine::compactDatabase(request);
        const std::chrono::duration<double> whole = std::chrono::steady_clock::now() - start;
        const auto& took = result.steps;
        std::printf(
            "image: %.3f\nsource_check: %.3f\nsource_check_wait: %.3f\ncopy: %.3f\n"
            "copy_check: %.3f\nsync: %.3f\nwhole: %.3f\nrepaired: %d\n",
            took.image.count(), took.sourceCheck.count(), took.sourceCheckWait.count(),
            took.copy.count(), took.copyCheck.count(), took.sync.count(), whole.count(),
            int(result.repaired));
        sqlite3_int64 current = 0, highest = 0;
        sqlite3_status64(SQLITE_STATUS_MEMORY_USED, &current, &highest, 0);
        std::printf("sqlite_heap_peak_mib: %.1f\n", double(highest) / 1048576);
    } catch (const platform::Failure& failure) {
        std::fprintf(stderr, "compact_steps: %s\n", failure.what());
        return 1;
    }
    return 0;
}
