#include "platform/engine/copy/ImageSchema.h"

#include "platform/engine/format/Record.h"
#include "platform/engine/source/BTreeWalk.h"
#include "platform/engine/source/RecordText.h"

namespace platform::engine {

std::uint32_t ImageSchema::rootOf(const QByteArray& type, const QByteArray& name) const {
    for (const Entry& entry : entries) {
        if (entry.type == type && entry.name == name) return entry.root;
    }
    return 0;
}

ImageSchema readImageSchema(const SourceImage& image) {
    ImageSchema schema;
    BTreeWalk walk(image);
    const int encoding = walk.header().textEncoding;
    walk.walk(
        1,
        [&](const TreeCell& cell) {
            if (cell.type != format::LeafTable) return;
            const auto payload = walk.payloadOf(cell);
            const auto fields =
                payload ? format::readRecord(
                              reinterpret_cast<const unsigned char*>(payload->constData()),
                              std::size_t(payload->size()))
                        : std::nullopt;
            if (!fields || fields->size() < 4 || !(*fields)[0].isText() || !(*fields)[1].isText()) {
                ++schema.unreadable;
                return;
            }
            const auto* bytes = reinterpret_cast<const unsigned char*>(payload->constData());
            ImageSchema::Entry entry;
            entry.type = textValue(*payload, (*fields)[0], encoding).toUtf8();
            entry.name = textValue(*payload, (*fields)[1], encoding).toUtf8();
            if ((*fields)[2].isText())
                entry.table = textValue(*payload, (*fields)[2], encoding).toUtf8();
            entry.root = std::uint32_t(format::integerValue(bytes, (*fields)[3]).value_or(0));
            schema.entries.push_back(entry);
        },
        [&](const LostSubtree&) {
            schema.whole = false;
            ++schema.lostParts;
        });
    return schema;
}

}  // namespace platform::engine
