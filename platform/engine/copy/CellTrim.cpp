#include "platform/engine/copy/CellTrim.h"

#include <QByteArray>
#include <unordered_set>
#include <vector>

#include "platform/engine/format/BTreePage.h"
#include "platform/engine/format/DatabaseHeader.h"
#include "platform/engine/format/Freelist.h"
#include "platform/engine/source/SourceImage.h"

namespace platform::engine {

namespace {

class CellTrimmer {
  public:
    explicit CellTrimmer(SourceImage& image)
        : image_(image),
          pageCount_(image.pageCount()),
          bad_(std::size_t(image.pageCount()) + 1, false) {
        for (const std::uint32_t page : image.badPages()) {
            if (page <= pageCount_) bad_[page] = true;
        }
    }

    TrimmedImage trim() {
        TrimmedImage result;
        if (pageCount_ == 0) return result;
        const QByteArray first = image_.page(1);
        const format::DatabaseHeader header =
            format::parseHeader(reinterpret_cast<const unsigned char*>(first.constData()));
        usable_ = header.usableSize();
        for (std::uint32_t number = 1; number <= pageCount_; ++number) {
            if (bad_[number]) continue;
            QByteArray bytes = image_.page(number);
            bool tablePage = false;
            const std::int64_t here =
                trimPage(number, reinterpret_cast<unsigned char*>(bytes.data()), tablePage);
            if (here) image_.writePage(number, bytes);
            result.cellsDropped += here;
            if (tablePage) result.rowsDropped += here;
        }
        result.freelistWhole =
            format::walkFreelist(
                header, pageCount_,
                [this](std::uint32_t number) -> std::optional<std::vector<unsigned char>> {
                    if (bad_[number]) return {};
                    const QByteArray bytes = image_.page(number);
                    return std::vector<unsigned char>(bytes.begin(), bytes.end());
                })
                .whole;
        return result;
    }

  private:
    std::int64_t trimPage(std::uint32_t number, unsigned char* page, bool& tablePage) {
        auto header = format::readBTreePage(page, number, usable_);
        if (!header || header->type == format::InteriorTable) return 0;
        tablePage = header->type == format::LeafTable;
        std::int64_t dropped = 0;
        for (int i = 0; i < header->cellCount;) {
            if (cellWhole(page, header->type, format::cellOffset(page, *header, i))) {
                ++i;
                continue;
            }
            format::removeCell(page, *header, i);
            ++dropped;
        }
        return dropped;
    }

    // Whether a cell's payload lies whole on pages that were read: its
    // overflow chain long enough, in the file, free of loops and bad pages.
    bool cellWhole(const unsigned char* page, int type, int offset) {
        const format::CellPayload payload = format::cellPayload(page, type, offset, usable_);
        switch (payload.kind) {
            case format::CellPayload::Unparsed:  // left to the recovery's own checks
            case format::CellPayload::OnPage:
                return true;
            case format::CellPayload::Cut:
                return false;
            case format::CellPayload::Overflowing:
                break;
        }
        if (payload.overflowPages > pageCount_) return false;
        std::unordered_set<std::uint32_t> seen;
        std::uint32_t next = payload.firstOverflow;
        for (std::uint64_t i = 0; i < payload.overflowPages; ++i) {
            if (next < 2 || next > pageCount_ || bad_[next] || !seen.insert(next).second) {
                return false;
            }
            next = image_.nextOverflowPage(next);
        }
        return true;
    }

    SourceImage& image_;
    std::uint32_t pageCount_;
    int usable_ = 0;
    std::vector<bool> bad_;
};

}  // namespace

TrimmedImage trimCellsNotWhole(SourceImage& image) {
    return CellTrimmer(image).trim();
}

}  // namespace platform::engine
