#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace platform::engine {

// One compaction, with every path already on the host.
struct CompactRequest {
    QString source;
    QString destination;
    QString lockFile;
    std::optional<QByteArray> password;
};

// Writes a compacted, consistent copy of a database to a new file, repairing
// what can be repaired, under the engine's exclusive lock. The source is only
// read. Raises a Failure and leaves no destination file when it fails.
void compactDatabase(const CompactRequest& request);

}  // namespace platform::engine
