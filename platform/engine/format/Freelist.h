#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <vector>

#include "platform/engine/format/DatabaseHeader.h"

// The list of free pages: trunk pages, each naming leaf pages.
namespace platform::engine::format {

// A page's bytes, or nothing when it could not be read.
using PageFetch = std::function<std::optional<std::vector<unsigned char>>(std::uint32_t)>;

struct Freelist {
    std::set<std::uint32_t> pages;   // trunks and leaves, as far as they read
    std::set<std::uint32_t> trunks;  // of those, the trunks
    // Every trunk read, no loop, no list longer than a page holds, and as
    // many pages as the header counts.
    bool whole = true;
};

Freelist walkFreelist(const DatabaseHeader& header, std::uint32_t pageCount,
                      const PageFetch& fetch);

}  // namespace platform::engine::format
