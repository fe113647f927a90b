#include "platform/engine/format/WalFrames.h"

#include <cstring>

#include "platform/engine/format/Bytes.h"

namespace platform::engine::format {

namespace {
constexpr std::uint32_t kMagic = 0x377f0682u;  // the low bit picks the checksums' byte order
}

std::uint32_t WalScan::word(const unsigned char* p) const {
    return bigEndianSums_ ? bigEndian32(p)
                          : std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 |
                                std::uint32_t(p[1]) << 8 | p[0];
}

void WalScan::sum(const unsigned char* p, std::size_t bytes) {
    for (std::size_t i = 0; i + 8 <= bytes; i += 8) {
        s0_ += word(p + i) + s1_;
        s1_ += word(p + i + 4) + s0_;
    }
}

bool WalScan::start(const unsigned char* header, int pageSize) {
    *this = WalScan();
    const std::uint32_t magic = bigEndian32(header);
    if ((magic & ~1u) != kMagic || int(bigEndian32(header + 8)) != pageSize) return false;
    bigEndianSums_ = magic & 1;
    sum(header, 24);
    if (s0_ != bigEndian32(header + 24) || s1_ != bigEndian32(header + 28)) return false;
    pageSize_ = pageSize;
    std::memcpy(salt_, header + 16, sizeof salt_);
    stopped_ = false;
    return true;
}

bool WalScan::next(const unsigned char* frame, std::int64_t offset) {
    if (stopped_) return false;
    const std::uint32_t sumsBefore[2] = {s0_, s1_};
    sum(frame, 8);
    sum(frame + kWalFrameHeaderSize, std::size_t(pageSize_));
    const std::uint32_t page = bigEndian32(frame);
    if (std::memcmp(frame + 8, salt_, sizeof salt_) != 0 || s0_ != bigEndian32(frame + 16) ||
        s1_ != bigEndian32(frame + 20) || page == 0) {
        s0_ = sumsBefore[0];
        s1_ = sumsBefore[1];
        stopped_ = true;
        return false;
    }
    pending_[page] = offset + kWalFrameHeaderSize;
    if (const std::uint32_t commit = bigEndian32(frame + 4)) {
        for (const auto& [number, at] : pending_) committed_[number] = at;
        pending_.clear();
        pageCount_ = commit;
    }
    return true;
}

}  // namespace platform::engine::format
