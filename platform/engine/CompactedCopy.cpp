#include "platform/engine/CompactedCopy.h"

#define SQLITE_HAS_CODEC 1
#include <sqlite3.h>

#include <string>
#include <vector>

namespace platform::engine {

namespace {
// The copy's page cache: large enough that index pages stay cached while the
// export fills them, small enough to bound memory whatever the file's size.
constexpr int kCopyCacheKiB = 32 * 1024;

// Cipher settings that decide how a page is encrypted; all must match for
// the copy to open as the source does.
constexpr const char* kCipherSettings[] = {"cipher", "kdf_iter", "fast_kdf_iter",
                                           "cipher_page_size", "cipher_use_hmac"};
}  // namespace

CompactedCopy::CompactedCopy(sqlcipher::Database& source, const QByteArray& hostPath,
                             const std::optional<QByteArray>& password)
    : source_(source) {
    // Cipher settings and geometry, read before the copy exists.
    std::vector<std::string> settings;
    if (password) {
        for (const char* name : kCipherSettings) {
            settings.push_back(std::string("PRAGMA compacted.") + name + " = " +
                               sqlcipher::quoted(source.queryText(std::string("PRAGMA ") + name)));
        }
    } else {
        settings.push_back("PRAGMA compacted.page_size = " +
                           std::to_string(source.queryInt64("PRAGMA main.page_size")));
    }
    const std::int64_t autoVacuum = source.queryInt64("PRAGMA main.auto_vacuum");

    {
        sqlcipher::Statement attach(source.handle(), "ATTACH ?1 AS compacted KEY ?2");
        attach.bindText(1, hostPath);
        attach.bindText(2, password.value_or(QByteArray("")));
        attach.step();
    }
    try {
        for (const std::string& setting : settings) source.execute(setting);
        source.execute("PRAGMA compacted.auto_vacuum = " + std::to_string(autoVacuum));
        // A new file that is removed on any failure needs no rollback journal
        // on disk, and one sync at the end rather than one per commit.
        source.execute("PRAGMA compacted.journal_mode = MEMORY");
        source.execute("PRAGMA compacted.synchronous = OFF");
        source.execute("PRAGMA compacted.cache_size = -" + std::to_string(kCopyCacheKiB));
    } catch (...) {
        sqlite3_exec(source.handle(), "DETACH compacted", nullptr, nullptr, nullptr);
        throw;
    }
}

CompactedCopy::~CompactedCopy() {
    sqlite3_exec(source_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_exec(source_.handle(), "DETACH compacted", nullptr, nullptr, nullptr);
}

void CompactedCopy::exportAll() {
    source_.execute("BEGIN");
    source_.execute("SELECT sqlcipher_export('compacted')");
    copyHeaderValues();
    source_.execute("COMMIT");
}

void CompactedCopy::copyHeaderValues() {
    for (const char* name : {"user_version", "application_id"}) {
        const std::int64_t value = source_.queryInt64(std::string("PRAGMA main.") + name);
        source_.execute(std::string("PRAGMA compacted.") + name + " = " + std::to_string(value));
    }
}

bool CompactedCopy::isConsistent() {
    return source_.queryText("PRAGMA compacted.integrity_check(1)") == "ok";
}

}  // namespace platform::engine
