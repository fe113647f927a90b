#include "platform/engine/copy/RowDigest.h"

#include <sqlite3.h>

#include <cstring>

#include "platform/sqlite/Database.h"

namespace platform::engine {

namespace {

constexpr std::uint64_t kFirstSeed = 0x9e3779b97f4a7c15ULL;
constexpr std::uint64_t kSecondSeed = 0xc2b2ae3d27d4eb4fULL;
constexpr std::uint64_t kMultiplier = 0xff51afd7ed558ccdULL;

// A 128-bit multiply folded to 64 bits: every input bit reaches every output
// bit, at a few cycles per word.
std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return std::uint64_t(product) ^ std::uint64_t(product >> 64);
}

struct RowHash {
    std::uint64_t first = kFirstSeed;
    std::uint64_t second = kSecondSeed;

    void word(std::uint64_t value) {
        first = fold(first ^ value, kMultiplier);
        second = fold(second ^ value ^ kFirstSeed, kMultiplier ^ kSecondSeed);
    }
    void bytes(const unsigned char* data, int length) {
        word(std::uint64_t(length));
        int at = 0;
        for (; at + 8 <= length; at += 8) {
            std::uint64_t value;
            std::memcpy(&value, data + at, 8);
            word(value);
        }
        if (at < length) {
            std::uint64_t value = 0;
            std::memcpy(&value, data + at, std::size_t(length - at));
            word(value);
        }
    }
};

void step(sqlite3_context* context, int count, sqlite3_value** values) {
    auto* digest = static_cast<RowDigest*>(sqlite3_aggregate_context(context, sizeof(RowDigest)));
    if (!digest) {
        sqlite3_result_error_nomem(context);
        return;
    }
    RowHash hash;
    hash.word(std::uint64_t(count));
    for (int i = 0; i < count; ++i) {
        const int type = sqlite3_value_type(values[i]);
        hash.word(std::uint64_t(type));
        switch (type) {
            case SQLITE_INTEGER:
                hash.word(std::uint64_t(sqlite3_value_int64(values[i])));
                break;
            case SQLITE_FLOAT: {
                const double real = sqlite3_value_double(values[i]);
                std::uint64_t bits;
                std::memcpy(&bits, &real, sizeof bits);
                hash.word(bits);
                break;
            }
            case SQLITE_TEXT:
                // Text counts by its characters, whatever the file's encoding.
                hash.bytes(sqlite3_value_text(values[i]), sqlite3_value_bytes(values[i]));
                break;
            case SQLITE_BLOB:
                hash.bytes(static_cast<const unsigned char*>(sqlite3_value_blob(values[i])),
                           sqlite3_value_bytes(values[i]));
                break;
            default:
                break;
        }
    }
    digest->rows += 1;
    digest->first += fold(hash.first, kSecondSeed);
    digest->second += fold(hash.second, kFirstSeed);
}

void finish(sqlite3_context* context) {
    auto* digest = static_cast<RowDigest*>(sqlite3_aggregate_context(context, 0));
    const RowDigest none;
    sqlite3_result_blob(context, digest ? digest : &none, sizeof(RowDigest), SQLITE_TRANSIENT);
}

}  // namespace

void addRowDigest(sqlite3* database) {
    const int rc = sqlite3_create_function_v2(
        database, "car_row_digest", -1, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY,
        nullptr, nullptr, step, finish, nullptr);
    if (rc != SQLITE_OK) throw sqlite::SqliteError(rc, 0, sqlite3_errmsg(database));
}

RowDigest digestOf(const void* blob, int bytes) {
    RowDigest digest;
    if (blob && bytes == int(sizeof digest)) std::memcpy(&digest, blob, sizeof digest);
    return digest;
}

}  // namespace platform::engine
