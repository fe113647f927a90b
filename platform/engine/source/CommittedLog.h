#pragma once

#include <QString>
#include <cstdint>
#include <map>

#include "platform/host/UniqueFd.h"

namespace platform::engine {

// The committed frames of the write-ahead log beside a database, if any.
struct CommittedLog {
    UniqueFd fd;
    QString nativePath;
    // For each page, where in the log its latest committed version lies.
    std::map<std::uint32_t, std::int64_t> frames;
    // The database's size in pages after the last commit; 0: no commit.
    std::uint32_t pageCount = 0;
};

CommittedLog readCommittedLog(const QString& hostDatabase, const QString& nativeDatabase,
                              int pageSize);

}  // namespace platform::engine
