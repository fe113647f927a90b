#include <QFileInfo>
#include <random>

#include "tests/EngineTestSupport.h"

namespace {

using engine_test::fileHash;
using engine_test::readFile;
using engine_test::writeFile;

class EngineFuzz : public engine_test::EngineTest {};

// One random kind of damage to a database file.
QByteArray mutate(QByteArray bytes, std::mt19937& random) {
    constexpr int kPage = 1024;
    const int pages = int(bytes.size() / kPage);
    auto page = [&] { return int(random() % pages); };
    switch (random() % 4) {
        case 0:  // a few scattered byte flips
            for (int i = 0, n = 1 + int(random() % 8); i < n; ++i) {
                bytes[int(random() % bytes.size())] ^= char(1 << (random() % 8));
            }
            break;
        case 1:  // whole pages of garbage
            for (int i = 0, n = 1 + int(random() % 4); i < n; ++i) {
                const int at = page() * kPage;
                for (int b = 0; b < kPage; ++b) bytes[at + b] = char(random());
            }
            break;
        case 2:  // a page copied over another
            bytes.replace(page() * kPage, kPage, bytes.mid(page() * kPage, kPage));
            break;
        default:  // cut short
            bytes.truncate(int(random() % bytes.size()));
            break;
    }
    return bytes;
}

TEST_F(EngineFuzz, DamagedFilesGiveAConsistentCopyOrAFailure) {
    sample::DatabaseOptions options = smallDatabase(0.3);
    options.sizeBytes = 64 * 1024;
    const QString originalPath = makeDatabase("original.tnjra", options);
    const QByteArray original = readFile(originalPath);
    std::mt19937 random(20240611);
    int copies = 0;
    for (int iteration = 0; iteration < 64; ++iteration) {
        SCOPED_TRACE(iteration);
        const QByteArray damaged = mutate(original, random);
        writeFile(host("a.tnjra"), damaged);
        const int failure = failureOf([&] { compact("a.tnjra", "b.tnjra"); });
        EXPECT_EQ(readFile(host("a.tnjra")), damaged);
        if (failure == 0) {
            EXPECT_EQ(sample::integrityCheck(host("b.tnjra")), "ok");
            // Rows are left out, never changed.
            EXPECT_EQ(engine_test::rowsNotInOriginal(host("b.tnjra"), originalPath), 0);
            ++copies;
        } else {
            EXPECT_TRUE(failure == 3049 || failure == 3031) << failure;
            EXPECT_FALSE(QFile::exists(host("b.tnjra")));
        }
        EXPECT_FALSE(QFile::exists(host("a.ldb")));
        QFile::remove(host("b.tnjra"));
        QFile::remove(host("a.tnjra"));
    }
    EXPECT_GT(copies, 16) << "repair saved too few: " << copies;
}

}  // namespace
