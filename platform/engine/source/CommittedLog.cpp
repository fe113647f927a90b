#include "platform/engine/source/CommittedLog.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QFile>
#include <cerrno>
#include <vector>

#include "platform/Failures.h"
#include "platform/engine/format/WalFrames.h"
#include "platform/engine/source/ImageFile.h"

namespace platform::engine {

CommittedLog readCommittedLog(const QString& hostDatabase, const QString& nativeDatabase,
                              int pageSize) {
    CommittedLog log;
    log.nativePath = nativeDatabase + QStringLiteral("-wal");
    log.fd.reset(::open(QFile::encodeName(hostDatabase + QStringLiteral("-wal")).constData(),
                        O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!log.fd.valid()) return log;
    struct stat info {};
    if (::fstat(log.fd.get(), &info) != 0) throw failures::systemFailure(errno, log.nativePath);
    const std::int64_t size = info.st_size;
    if (size < format::kWalHeaderSize) return log;
    unsigned char header[format::kWalHeaderSize];
    readAt(log.fd.get(), header, sizeof header, 0, log.nativePath);
    format::WalScan scan;
    if (!scan.start(header, pageSize)) return log;
    const std::size_t frameSize = std::size_t(format::kWalFrameHeaderSize + pageSize);
    std::vector<unsigned char> frame(frameSize);
    for (std::int64_t at = format::kWalHeaderSize; at + std::int64_t(frameSize) <= size;
         at += std::int64_t(frameSize)) {
        readAt(log.fd.get(), frame.data(), frameSize, at, log.nativePath);
        if (!scan.next(frame.data(), at)) break;
    }
    log.frames = scan.committedFrames();
    log.pageCount = scan.pageCount();
    return log;
}

}  // namespace platform::engine
