#include "platform/engine/format/Freelist.h"

#include <algorithm>

#include "platform/engine/format/Bytes.h"

namespace platform::engine::format {

Freelist walkFreelist(const DatabaseHeader& header, std::uint32_t pageCount,
                      const PageFetch& fetch) {
    Freelist list;
    const std::uint32_t mostLeaves = std::uint32_t(std::max(0, (header.usableSize() - 8) / 4));
    std::uint32_t counted = 0;
    std::uint32_t trunk = header.firstFreelistTrunk;
    while (trunk != 0) {
        // Each trunk is visited once: a looping list ends.
        if (trunk < 2 || trunk > pageCount || !list.pages.insert(trunk).second) {
            list.whole = false;
            break;
        }
        const auto bytes = fetch(trunk);
        if (!bytes || bytes->size() < 8) {
            list.whole = false;
            break;
        }
        list.trunks.insert(trunk);
        const unsigned char* p = bytes->data();
        std::uint32_t leaves = bigEndian32(p + 4);
        if (leaves > mostLeaves || 8 + 4 * std::size_t(leaves) > bytes->size()) {
            list.whole = false;
            leaves = std::min<std::uint32_t>(mostLeaves, std::uint32_t((bytes->size() - 8) / 4));
        }
        for (std::uint32_t i = 0; i < leaves; ++i) list.pages.insert(bigEndian32(p + 8 + 4 * i));
        counted += 1 + leaves;
        trunk = bigEndian32(p);
    }
    if (counted != header.freelistPages) list.whole = false;
    return list;
}

}  // namespace platform::engine::format
