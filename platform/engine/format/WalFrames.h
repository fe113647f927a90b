#pragma once

#include <cstdint>
#include <map>

// A write-ahead log: a 32-byte header, then frames of a 24-byte header and a
// page each.
namespace platform::engine::format {

inline constexpr int kWalHeaderSize = 32;
inline constexpr int kWalFrameHeaderSize = 24;

// The frames that are part of the database, as SQLite reads a log: frames in
// order until the first whose salt or running checksum fails, and of those
// only the ones up to the last commit frame.
class WalScan {
  public:
    // False when the header is no log's for pages of this size, or fails its
    // checksum: then no frame counts.
    bool start(const unsigned char* header, int pageSize);
    // Takes the next frame (its header and page), found at `offset` in the
    // log. False: this frame and every later one are not part of the log.
    bool next(const unsigned char* frame, std::int64_t offset);

    // For each page, where its latest committed version starts (its page
    // bytes, past the frame header).
    const std::map<std::uint32_t, std::int64_t>& committedFrames() const { return committed_; }
    // The database's size in pages after the last commit; 0 when none.
    std::uint32_t pageCount() const { return pageCount_; }

  private:
    std::uint32_t word(const unsigned char* p) const;
    void sum(const unsigned char* p, std::size_t bytes);

    int pageSize_ = 0;
    bool bigEndianSums_ = false;
    unsigned char salt_[8] = {};
    std::uint32_t s0_ = 0, s1_ = 0;
    bool stopped_ = true;
    std::map<std::uint32_t, std::int64_t> pending_;
    std::map<std::uint32_t, std::int64_t> committed_;
    std::uint32_t pageCount_ = 0;
};

}  // namespace platform::engine::format
