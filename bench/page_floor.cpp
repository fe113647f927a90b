// Measures the least time the engine could take on this machine for a
// database: every page of the SQLCipher file read once, decrypted and
// authenticated, encrypted again and written to a new file, which is then
// synced. It works as the engine reads a source (a chunk at a time, each
// chunk split over two threads) with the engine's own ciphers, and counts the
// one key derivation the engine cannot do without.
//   page_floor SOURCE SCRATCH_FILE PASSWORD
// SCRATCH_FILE must not exist; it is left in place. Prints floor_seconds and
// floor_seconds_per_gib (per GiB of the source file); exits non-zero when a
// page fails authentication, since the floor is that of a whole database.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/engine/crypto/PageCipher.h"
#include "platform/engine/format/DatabaseHeader.h"
#include "platform/engine/source/ImageFile.h"
#include "platform/engine/source/PageDecryption.h"
#include "platform/engine/source/SourceFormat.h"
#include "platform/host/UniqueFd.h"

namespace {

using namespace platform::engine;
using platform::UniqueFd;

struct Failed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void systemFailed(const char* what, const QString& path) {
    throw Failed(std::string(what) + " " + path.toStdString() + ": " + std::strerror(errno));
}

// Pages `first` to `last` of the chunk that starts at `chunkStart`,
// decrypted from `in` and encrypted again into `out`; a page that does not
// authenticate is counted. SQLite never writes the page that holds the lock
// byte, so it is passed on as it is.
void recryptPages(PageCipher& cipher, std::uint32_t first, std::uint32_t last,
                  std::uint32_t chunkStart, const std::vector<unsigned char>& in,
                  std::vector<unsigned char>& out, std::atomic<std::uint32_t>& failed) {
    const std::size_t size = std::size_t(cipher.pageSize());
    const std::uint32_t lockBytePage = format::lockBytePage(cipher.pageSize());
    std::vector<unsigned char> plain(size);
    for (std::uint32_t page = first; page <= last; ++page) {
        const std::size_t at = std::size_t(page - chunkStart) * size;
        if (page == lockBytePage) {
            std::memcpy(out.data() + at, in.data() + at, size);
        } else if (cipher.decrypt(page, in.data() + at, plain.data())) {
            cipher.encrypt(page, plain.data(), out.data() + at);
        } else {
            ++failed;
        }
    }
}

double floorSeconds(const QString& sourcePath, const QString& scratchPath,
                    const QByteArray& password, std::int64_t& sourceBytes) {
    const auto started = std::chrono::steady_clock::now();
    const UniqueFd source(::open(QFile::encodeName(sourcePath).constData(), O_RDONLY | O_CLOEXEC));
    if (!source.valid()) systemFailed("cannot open", sourcePath);
    struct stat info {};
    if (::fstat(source.get(), &info) != 0) systemFailed("cannot stat", sourcePath);
    sourceBytes = info.st_size;
    const SourceFormat found = identifySource(source.get(), sourceBytes, password, sourcePath);
    if (!found.cipher) throw Failed("the source is not encrypted");
    const UniqueFd scratch(::open(QFile::encodeName(scratchPath).constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!scratch.valid()) systemFailed("cannot create", scratchPath);

    PageCipher& lower = *found.cipher;
    const std::unique_ptr<PageCipher> upper = lower.twin();
    const std::size_t size = std::size_t(found.pageSize);
    const std::uint32_t pageCount = std::uint32_t(sourceBytes / found.pageSize);
    std::vector<unsigned char> in(size * kPagesPerChunk), out(in.size());
    std::atomic<std::uint32_t> failed = 0;
    for (std::uint32_t start = 1; start <= pageCount; start += kPagesPerChunk) {
        const std::uint32_t end = std::min<std::uint32_t>(pageCount, start + kPagesPerChunk - 1);
        const std::size_t bytes = std::size_t(end - start + 1) * size;
        const std::int64_t offset = std::int64_t(start - 1) * found.pageSize;
        readAt(source.get(), in.data(), bytes, offset, sourcePath);
        const std::uint32_t middle = start + (end - start) / 2;
        auto secondHalf = std::async(std::launch::async, [&, start, middle, end] {
            recryptPages(*upper, middle + 1, end, start, in, out, failed);
        });
        recryptPages(lower, start, middle, start, in, out, failed);
        secondHalf.get();
        writeAt(scratch.get(), out.data(), bytes, offset, scratchPath);
    }
    if (::fsync(scratch.get()) != 0) systemFailed("cannot sync", scratchPath);
    const QString folder = QFileInfo(scratchPath).absolutePath();
    const UniqueFd directory(
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid() || ::fsync(directory.get()) != 0) systemFailed("cannot sync", folder);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    if (failed) {
        throw Failed(std::to_string(failed.load()) +
                     " pages fail authentication: the floor needs a whole database");
    }
    return took.count();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 4) {
        std::fputs("usage: page_floor SOURCE SCRATCH_FILE PASSWORD\n", stderr);
        return 2;
    }
    try {
        std::int64_t sourceBytes = 0;
        const double seconds =
            floorSeconds(arguments[1], arguments[2], arguments[3].toUtf8(), sourceBytes);
        std::printf("floor_seconds: %.3f\nfloor_seconds_per_gib: %.3f\n", seconds,
                    seconds / (double(sourceBytes) / (1024.0 * 1024 * 1024)));
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "page_floor: %s\n", failure.what());
        return 1;
    }
    return 0;
}
