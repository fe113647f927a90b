#include "platform/host/FileAttributes.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdio>

namespace platform {

namespace {
constexpr const char* kDosAttributeName = "user.DOSATTRIB";

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<unsigned> parseDosAttributes(const QByteArray& value) {
    if (!value.startsWith("0x")) return std::nullopt;
    qsizetype end = value.indexOf('\0');
    if (end < 0) end = value.size();
    if (end == 2) return std::nullopt;
    // Only the low bits matter, so long digit strings cannot overflow.
    unsigned bits = 0;
    for (qsizetype i = 2; i < end; ++i) {
        const int digit = hexDigit(value.at(i));
        if (digit < 0) return std::nullopt;
        bits = ((bits << 4) | static_cast<unsigned>(digit)) & 0xffffu;
    }
    return bits;
}

namespace {
// The raw `user.DOSATTRIB` value, empty when there is none.
QByteArray readDosAttribute(const char* hostPath) {
    QByteArray value(256, Qt::Uninitialized);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t length = ::getxattr(hostPath, kDosAttributeName, value.data(), value.size());
        if (length >= 0) return value.left(length);
        if (errno != ERANGE) return {};
        // Samba's form can be longer than the text; size the buffer and retry.
        const ssize_t needed = ::getxattr(hostPath, kDosAttributeName, nullptr, 0);
        if (needed <= 0) return {};
        value.resize(needed);
    }
    return {};
}
}  // namespace

FileAttributes attributesOf(const QByteArray& hostPath, unsigned mode) {
    const unsigned bits = parseDosAttributes(readDosAttribute(hostPath.constData())).value_or(0);
    const QByteArray name = hostPath.mid(hostPath.lastIndexOf('/') + 1);

    FileAttributes attributes;
    attributes.hidden = name.startsWith('.') || (bits & dos::Hidden);
    attributes.system = bits & dos::System;
    attributes.readOnly = !(mode & S_IWUSR) || (bits & dos::ReadOnly);
    return attributes;
}

bool writeDosAttributes(const char* hostPath, unsigned bits) {
    char text[16];
    const int length = std::snprintf(text, sizeof text, "0x%x", bits);
    return ::setxattr(hostPath, kDosAttributeName, text, static_cast<size_t>(length), 0) == 0;
}

}  // namespace platform
