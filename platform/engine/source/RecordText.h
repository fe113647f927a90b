#pragma once

#include <QByteArray>
#include <QString>

#include "platform/engine/format/Record.h"

namespace platform::engine {

// A text field of a record in the database's text encoding (1 UTF-8,
// 2 UTF-16le, 3 UTF-16be).
QString textValue(const QByteArray& record, const format::RecordField& field, int encoding);

}  // namespace platform::engine
