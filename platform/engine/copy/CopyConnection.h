#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

#include "platform/sqlite/Database.h"

namespace platform::engine {

class SourceImage;

// A connection to the empty copy at `hostPath`, set up to be written in the
// image's format and settings, with the image attached as "source".
std::unique_ptr<sqlite::Database> openCopy(const QString& hostPath,
                                           const std::optional<QByteArray>& password,
                                           const SourceImage& image);

}  // namespace platform::engine
