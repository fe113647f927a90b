#include "platform/engine/source/BTreeWalk.h"

#include <algorithm>
#include <vector>

#include "platform/engine/format/Bytes.h"
#include "platform/engine/source/SourceImage.h"

namespace platform::engine {

BTreeWalk::BTreeWalk(const SourceImage& image) : image_(image) {
    if (image.pageCount() > 0) {
        const QByteArray first = image.page(1);
        header_ = format::parseHeader(reinterpret_cast<const unsigned char*>(first.constData()));
    }
}

bool BTreeWalk::bad(std::uint32_t page) const {
    return std::binary_search(image_.badPages().begin(), image_.badPages().end(), page);
}

void BTreeWalk::walk(std::uint32_t root, const std::function<void(const TreeCell&)>& cell,
                     const std::function<void(const LostSubtree&)>& lost) {
    struct Pending {
        std::uint32_t page;
        LostSubtree bounds;
    };
    std::vector<Pending> pending{{root, {std::nullopt, std::nullopt, true}}};
    const int usable = header_.usableSize();
    while (!pending.empty()) {
        const Pending next = pending.back();
        pending.pop_back();
        if (next.page < 1 || next.page > image_.pageCount() || bad(next.page) ||
            !seen_.insert(next.page).second) {
            lost(next.bounds);
            continue;
        }
        QByteArray bytes = image_.page(next.page);
        const auto* page = reinterpret_cast<const unsigned char*>(bytes.constData());
        const auto tree = format::readBTreePage(page, next.page, usable);
        if (!tree) {
            lost(next.bounds);
            continue;
        }
        const bool interior =
            tree->type == format::InteriorTable || tree->type == format::InteriorIndex;
        std::optional<std::int64_t> previous = next.bounds.after;
        for (int i = 0; i < tree->cellCount; ++i) {
            const int offset = format::cellOffset(page, *tree, i);
            if (offset < 8 || offset + 4 > usable) continue;
            if (tree->type != format::InteriorTable) cell({next.page, page, tree->type, offset});
            if (!interior) continue;
            LostSubtree bounds{previous, next.bounds.upTo};
            if (tree->type == format::InteriorTable) {
                const auto key = format::readVarint(page + offset + 4, page + usable);
                if (key) bounds.upTo = std::int64_t(key->value);
                previous = bounds.upTo;
            }
            pending.push_back({format::bigEndian32(page + offset), bounds});
        }
        if (interior) {
            pending.push_back(
                {format::bigEndian32(page + tree->headerOffset + 8), {previous, next.bounds.upTo}});
        }
    }
}

std::optional<QByteArray> BTreeWalk::payloadOf(const TreeCell& cell) const {
    const format::CellPayload payload =
        format::cellPayload(cell.bytes, cell.type, cell.offset, header_.usableSize());
    if (payload.kind != format::CellPayload::OnPage &&
        payload.kind != format::CellPayload::Overflowing) {
        return std::nullopt;
    }
    QByteArray bytes(reinterpret_cast<const char*>(cell.bytes) + payload.payloadOffset,
                     payload.localSize);
    std::uint64_t left = payload.size - std::uint64_t(payload.localSize);
    std::uint32_t next = payload.firstOverflow;
    std::set<std::uint32_t> chain;
    const int perPage = header_.usableSize() - 4;
    while (left > 0) {
        if (next < 2 || next > image_.pageCount() || bad(next) || !chain.insert(next).second) {
            return std::nullopt;
        }
        const QByteArray overflow = image_.page(next);
        const int length = int(std::min<std::uint64_t>(left, std::uint64_t(perPage)));
        bytes += overflow.mid(4, length);
        left -= std::uint64_t(length);
        next = format::bigEndian32(reinterpret_cast<const unsigned char*>(overflow.constData()));
    }
    return bytes;
}

std::optional<CellRecord> BTreeWalk::recordOf(const TreeCell& cell) const {
    std::optional<QByteArray> payload = payloadOf(cell);
    if (!payload) return std::nullopt;
    auto fields = format::readRecord(reinterpret_cast<const unsigned char*>(payload->constData()),
                                     std::size_t(payload->size()));
    if (!fields) return std::nullopt;
    return CellRecord{std::move(*payload), std::move(*fields)};
}

std::optional<std::int64_t> BTreeWalk::rowidOf(const TreeCell& cell) const {
    if (cell.type != format::LeafTable) return std::nullopt;
    const unsigned char* end = cell.bytes + header_.usableSize();
    const auto size = format::readVarint(cell.bytes + cell.offset, end);
    if (!size) return std::nullopt;
    const auto rowid = format::readVarint(cell.bytes + cell.offset + size->length, end);
    if (!rowid) return std::nullopt;
    return std::int64_t(rowid->value);
}

}  // namespace platform::engine
