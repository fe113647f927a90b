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
            const auto record = walk.recordOf(cell);
            if (!record || record->fields.size() < 4 || !record->fields[0].isText() ||
                !record->fields[1].isText()) {
                ++schema.unreadable;
                return;
            }
            const auto& fields = record->fields;
            ImageSchema::Entry entry;
            entry.type = textValue(record->payload, fields[0], encoding).toUtf8();
            entry.name = textValue(record->payload, fields[1], encoding).toUtf8();
            if (fields[2].isText())
                entry.table = textValue(record->payload, fields[2], encoding).toUtf8();
            entry.root =
                std::uint32_t(format::integerValue(record->bytes(), fields[3]).value_or(0));
            schema.entries.push_back(entry);
        },
        [&](const LostSubtree&) {
            schema.whole = false;
            ++schema.lostParts;
        });
    return schema;
}

}  // namespace platform::engine
