#include "platform/engine/source/RecordText.h"

namespace platform::engine {

QString textValue(const QByteArray& record, const format::RecordField& field, int encoding) {
    const QByteArray bytes = record.mid(qsizetype(field.offset), qsizetype(field.size));
    if (encoding < 2) return QString::fromUtf8(bytes);
    QString decoded;
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2) {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        decoded += QChar(encoding == 2 ? char16_t(a | b << 8) : char16_t(a << 8 | b));
    }
    return decoded;
}

}  // namespace platform::engine
