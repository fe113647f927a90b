#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "platform/engine/copy/LossAccount.h"

namespace platform::engine {

class EngineLock;

// One compaction: every file by its host path, and by the native path that
// failures name it by.
struct CompactRequest {
    QString source;
    QString destination;
    QString lockFile;
    QString nativeSource;
    QString nativeDestination;
    QString nativeLockFile;
    std::optional<QByteArray> password;
};

// What a successful compaction did.
struct CompactResult {
    // The source was not whole: the copy holds what could be read whole.
    bool repaired = false;
    // Pages of the source that could not be read.
    std::int64_t badPages = 0;

    // What a repair kept and left out; all zero for a whole source.
    struct Rows {
        // Rows in each table of the copy.
        std::map<QByteArray, std::int64_t> keptPerTable;
        // Rows and index entries left out because their content lay partly
        // on pages that could not be read.
        std::int64_t droppedNotWhole = 0;
        // Of those, rows of rowid tables (an index entry lost costs nothing:
        // indexes are rebuilt from their tables).
        std::int64_t rowsDroppedNotWhole = 0;
        // Rows found on pages no tree leads to any more.
        std::int64_t orphansPlaced = 0;
        std::int64_t orphansLeftOut = 0;
    } rows;

    // What a repair could not keep, as the file tells it; empty when the
    // repair lost nothing (an index rebuilt, a free page lost).
    DataLoss loss;

    // Whether anything was lost: a repair that lost nothing is a success
    // like a plain compaction.
    bool lostData() const { return repaired && loss.any(); }

    // How long each step took, for the benchmark. The source's check runs
    // beside the copy: `sourceCheck` is its own duration, `sourceCheckWait`
    // the time the run still waited for it once the copy was written.
    struct Steps {
        using Seconds = std::chrono::duration<double>;
        Seconds image{};
        Seconds sourceCheck{};
        Seconds sourceCheckWait{};
        Seconds copy{};
        Seconds copyCheck{};
        Seconds sync{};
    } steps;

    // The engine's lock on the source, still held: whoever swaps the copy in
    // keeps it until the copy has replaced the source, so that no program
    // commits into a file about to be replaced.
    std::shared_ptr<const EngineLock> hold;
};

// Writes a compacted, consistent copy of a database to a new file, in the
// source's own format and settings, under the engine's exclusive lock. A
// source that proves whole is copied row by row, every rowid kept; any other
// is repaired. The source is only read. Raises a Failure and leaves no
// destination file when it fails.
CompactResult compactDatabase(const CompactRequest& request);

}  // namespace platform::engine
