#pragma once

#include <QByteArray>
#include <optional>

#include "platform/engine/SqlCipherDatabase.h"

namespace platform::engine {

// The compacted copy, attached to the source's connection as "compacted":
// a new file keyed with the source's password and given the source's cipher
// settings, page size and auto-vacuum mode, so the copy opens exactly as the
// source did. Detached when destroyed.
class CompactedCopy {
  public:
    CompactedCopy(sqlcipher::Database& source, const QByteArray& hostPath,
                  const std::optional<QByteArray>& password);
    ~CompactedCopy();
    CompactedCopy(const CompactedCopy&) = delete;
    CompactedCopy& operator=(const CompactedCopy&) = delete;

    // Copies every object and row with sqlcipher_export in one transaction,
    // then the header values the export leaves out.
    void exportAll();
    // Copies the header values (user_version, application_id).
    void copyHeaderValues();
    // PRAGMA integrity_check of the copy: true for "ok".
    bool isConsistent();

  private:
    sqlcipher::Database& source_;
};

}  // namespace platform::engine
