// What a repair lost, as the report names it, against the rows the pristine
// file held.
#include <sqlite3.h>

#include <set>

#include "repair/LossReport.h"
#include "tests/EngineTestSupport.h"

namespace {

using namespace engine_test;
using platform::sqlite::Database;

class LossReport : public EngineTest {
  protected:
    // Compacts with one engine object and returns the report it makes.
    QString report(const QString& source, const QString& connect = kConnect) {
        auto object = engine();
        object->invoke(QStringLiteral("CompactDatabase"),
                       {Variant::text(native(source)), Variant::text(native("out.tnjra")),
                        Variant::missing(), Variant::int16(128), Variant::text(connect)});
        problems_ = errorCount(*object);
        const auto errors = object->invoke(QStringLiteral("Errors"), {})
                                .get<std::shared_ptr<platform::AutomationObject>>();
        return QString::fromUtf8(repair::lossReportText(
            native(source), QDateTime::fromString("2024-06-11T09:30", Qt::ISODate), *errors));
    }

    // The report's line for one table.
    static QString lineOf(const QString& report, const QString& table) {
        for (const QString& line : report.split('\n')) {
            if (line.startsWith("Jadual " + table + ":")) return line;
        }
        return {};
    }

    // Rowids of a table, as a report lists them.
    static std::set<std::int64_t> rowids(Database& db, const std::string& table) {
        std::set<std::int64_t> all;
        platform::sqlite::Statement rows(db.handle(), "SELECT rowid FROM " + table);
        while (rows.step()) all.insert(rows.columnInt64(0));
        return all;
    }
    static QString listed(const std::set<std::int64_t>& lost) {
        QStringList items;
        for (auto it = lost.begin(); it != lost.end();) {
            auto end = it;
            while (std::next(end) != lost.end() && *std::next(end) == *end + 1) ++end;
            items << (*it == *end ? QString::number(*it) : QString("%1:%2").arg(*it).arg(*end));
            it = std::next(end);
        }
        return repair::rowidList(items.join(','));
    }

    int problems_ = 0;
};

std::set<std::int64_t> minus(const std::set<std::int64_t>& a, const std::set<std::int64_t>& b) {
    std::set<std::int64_t> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
    return out;
}

TEST_F(LossReport, ALeafUnderAnIntactIndexNamesEveryLostRow) {
    const QString pristine = makeDatabase("pristine.tnjra");
    QFile::copy(pristine, host("a.tnjra"));
    sample::damageLeaf(host("a.tnjra"), "marks");
    const QString text = report("a.tnjra");
    auto before = sample::openForReading(pristine);
    auto after = sample::openForReading(host("out.tnjra"));
    const auto lost = minus(rowids(*before, "marks"), rowids(*after, "marks"));
    ASSERT_FALSE(lost.empty());
    EXPECT_EQ(lineOf(text, "marks"),
              QString("Jadual marks: %1 rekod disimpan, %2 rekod hilang, rowid: %3")
                  .arg(after->queryInt64("SELECT count(*) FROM marks"))
                  .arg(lost.size())
                  .arg(listed(lost)));
    EXPECT_TRUE(text.startsWith("Pangkalan data: C:\\db\\a.tnjra\nMasa: 2024-06-11 09:30\n"));
    // Every other table whole: one line only.
    EXPECT_EQ(text.count("Jadual "), 1);
    EXPECT_FALSE(text.contains("Skema"));
}

TEST_F(LossReport, ALeafLostWithNoIndexIsARangeAndAFloor) {
    {
        Database plain(QFile::encodeName(host("plain.tnjra")).toStdString(),
                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        plain.execute(
            "PRAGMA page_size = 1024; CREATE TABLE t (a TEXT);"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)"
            " INSERT INTO t SELECT printf('%0100d', i) FROM n;");
    }
    QFile::copy(host("plain.tnjra"), host("a.tnjra"));
    sample::damageLeaf(host("a.tnjra"), "t", 1, QByteArray());
    const QString text = report("a.tnjra", QString());
    auto before = sample::openForReading(host("plain.tnjra"), QByteArray());
    auto after = sample::openForReading(host("out.tnjra"), QByteArray());
    const auto lost = minus(rowids(*before, "t"), rowids(*after, "t"));
    ASSERT_FALSE(lost.empty());
    // The damaged leaf's rows are one run between the keys above it.
    EXPECT_EQ(lineOf(text, "t"),
              QString("Jadual t: %1 rekod disimpan, sekurang-kurangnya 1 rekod hilang, rowid: %2")
                  .arg(after->queryInt64("SELECT count(*) FROM t"))
                  .arg(listed(lost)));
}

TEST_F(LossReport, LostRootsViewsAndTriggersAreNamed) {
    const QString pristine = makeDatabase("pristine.tnjra");
    QFile::copy(pristine, host("a.tnjra"));
    {
        Database db(QFile::encodeName(host("a.tnjra")).toStdString(), SQLITE_OPEN_READWRITE);
        db.key(sample::kPassword);
        db.execute(
            "PRAGMA cipher_compatibility = 3; PRAGMA writable_schema = ON;"
            "UPDATE sqlite_master SET sql = 'damaged' WHERE name IN ('class_averages', "
            "'students_moved')");
    }
    // The root of students: its index still names every row.
    const std::int64_t root = sample::openForReading(pristine)->queryInt64(
        "SELECT rootpage FROM sqlite_master WHERE name = 'students'");
    {
        QFile file(host("a.tnjra"));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek((root - 1) * 1024);
        file.write(QByteArray(1024, 'x'));
    }
    const QString text = report("a.tnjra");
    auto before = sample::openForReading(pristine);
    auto after = sample::openForReading(host("out.tnjra"));
    const auto lost = minus(rowids(*before, "students"), rowids(*after, "students"));
    if (!lost.empty()) {
        EXPECT_TRUE(lineOf(text, "students").contains(QString("%1 rekod hilang").arg(lost.size())))
            << text.toStdString();
    } else {
        EXPECT_EQ(lineOf(text, "students"), QString()) << "every row came back";
    }
    EXPECT_TRUE(text.contains("Skema yang hilang: view class_averages, trigger students_moved") ||
                text.contains("Skema yang hilang: trigger students_moved, view class_averages"))
        << text.toStdString();
}

TEST_F(LossReport, NothingToReportWhenOnlyAnIndexWasLost) {
    const QString pristine = makeDatabase("pristine.tnjra");
    QFile::copy(pristine, host("a.tnjra"));
    sample::damageLeaf(host("a.tnjra"), "marks_by_student");
    report("a.tnjra");
    EXPECT_EQ(problems_, 0);
    EXPECT_EQ(rowsNotInOriginal(host("out.tnjra"), pristine), 0);
    EXPECT_EQ(sample::rowCount(host("out.tnjra"), "marks"), sample::rowCount(pristine, "marks"));
}

}  // namespace
