#pragma once

#include <QByteArray>
#include <optional>

namespace platform {

// The attributes the original platform keeps per file, as this host stores
// them: a leading dot or the DOS attributes make a file hidden, the DOS
// attributes make it system, a missing owner write bit or the DOS attributes
// make it read-only.
struct FileAttributes {
    bool hidden = false;
    bool system = false;
    bool readOnly = false;
};

// The DOS attribute bits stored in `user.DOSATTRIB` ("0x" + hex digits, as
// Wine and Samba write it; Samba may follow the text with a NUL and binary
// data). Any other form means no DOS attributes.
std::optional<unsigned> parseDosAttributes(const QByteArray& value);

// The attributes of the file at a host path, given its stat mode (symbolic
// links followed); the dot rule looks at the path's last component.
FileAttributes attributesOf(const QByteArray& hostPath, unsigned mode);

// Writes the DOS attribute bits in the text form above; false when the file
// system keeps no extended attributes.
bool writeDosAttributes(const char* hostPath, unsigned bits);

namespace dos {
constexpr unsigned ReadOnly = 0x1;
constexpr unsigned Hidden = 0x2;
constexpr unsigned System = 0x4;
}  // namespace dos

}  // namespace platform
