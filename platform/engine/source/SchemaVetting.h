#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace platform::engine {

class SourceImage;

// How much of a schema entry's text (UTF-8) SQLite uses when it opens a file:
// the length of its first statement, if that is a CREATE of the entry's own
// type ("table", "index", "view", "trigger"); nothing when it is not.
std::optional<std::size_t> usableSchemaText(QByteArrayView sql, QByteArrayView type);

struct VettedSchema {
    std::int64_t trimmed = 0;  // entries that carried more than one statement
    // Entries ("table t") whose text is no CREATE of their type: lost.
    std::vector<QByteArray> refused;
};

// Vets the schema in the image before anything reads it: every entry of the
// schema table keeps only the text SQLite itself would use, the rest turned
// to spaces (same length, so the record stays as it is); an entry with no
// usable text is all spaces, its type too, which SQLite and its recovery take
// for damage.
// A database file is untrusted input: nothing else it carries may run.
VettedSchema vetSchema(SourceImage& image);

}  // namespace platform::engine
