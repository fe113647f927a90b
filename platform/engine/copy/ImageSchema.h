#pragma once

#include <QByteArray>
#include <cstdint>
#include <vector>

namespace platform::engine {

class SourceImage;

// The image's schema table as its pages read, before SQLite loads it.
struct ImageSchema {
    struct Entry {
        QByteArray type, name, table;
        std::uint32_t root = 0;
    };
    std::vector<Entry> entries;
    // Entries whose record could not be read.
    std::int64_t unreadable = 0;
    // Whether every page of the schema's tree read.
    bool whole = true;
    // Parts of the schema's tree that did not read: each held at least one
    // entry (only page 1 may hold none, and it always reads).
    std::int64_t lostParts = 0;

    // The root page of a table or index by name; 0 if none.
    std::uint32_t rootOf(const QByteArray& type, const QByteArray& name) const;
};

ImageSchema readImageSchema(const SourceImage& image);

}  // namespace platform::engine
