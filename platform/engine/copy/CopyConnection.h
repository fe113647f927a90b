#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

#include "platform/sqlite/Database.h"

namespace platform::engine {

class SourceImage;

// A connection to the empty copy at `hostPath`, set up to be written in the
// image's format and settings, encrypted with the source's salt and key.
std::unique_ptr<sqlite::Database> openCopy(const QString& hostPath, const SourceImage& image);

// Another connection to the finished copy, read-only, keyed like it, reading
// it a window at a time: for checking it beside the connection that wrote it.
std::unique_ptr<sqlite::Database> openCopyReader(const QString& hostPath,
                                                 const std::optional<QByteArray>& password,
                                                 const SourceImage& image);

// The image attached to the copy as "source", for the whole copy; a repair
// never attaches it, since a damaged schema there would stop every
// statement on the copy.
void attachSource(sqlite::Database& copy, const SourceImage& image);
void detachSource(sqlite::Database& copy);

}  // namespace platform::engine
