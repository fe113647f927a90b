#pragma once

#include <cstdint>

namespace platform::engine {

class SourceImage;

// What the image's pages say before SQLite's recovery reads it.
struct TrimmedImage {
    // Cells taken out because their content does not lie whole on pages that
    // were read: the rows and index entries that could not be read whole.
    std::int64_t cellsDropped = 0;
    // Of those, the cells of rowid tables' leaves: rows lost. (A WITHOUT
    // ROWID table's pages look like an index's; the loss account counts them.)
    std::int64_t rowsDropped = 0;
    // Whether the freelist reads whole. Only then can a page that no tree
    // leads to not be a freed one, holding rows deleted long ago.
    bool freelistWhole = true;
};

// Takes every cell whose content cannot be read whole out of its page in the
// image, so that no partly read row is ever written. Reads the image a page
// at a time, so memory stays flat whatever its size.
TrimmedImage trimCellsNotWhole(SourceImage& image);

}  // namespace platform::engine
