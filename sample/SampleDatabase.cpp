#include "sample/SampleDatabase.h"

#include <sqlite3.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/sqlite/Database.h"

namespace sample {

namespace {

using platform::sqlite::Database;
using platform::sqlite::identifier;
using platform::sqlite::Statement;

constexpr int kPageSize = 1024;
constexpr int kMarksPerStudent = 12;
constexpr int kStudentsPerBatch = 16;
// Rows are deleted in runs of this many students, so whole pages go free,
// a share of the runs in every cycle of kDeleteCycle runs.
constexpr int kDeleteRun = 8;
constexpr int kDeleteCycle = 20;

const char* const kSchema[] = {
    "CREATE TABLE classes (id INTEGER PRIMARY KEY, name TEXT NOT NULL, form INTEGER NOT NULL, "
    "teacher TEXT)",
    "CREATE TABLE students (id INTEGER PRIMARY KEY AUTOINCREMENT, admission_no TEXT NOT NULL "
    "UNIQUE, name TEXT NOT NULL, class_id INTEGER REFERENCES classes(id), birth_date TEXT, "
    "address TEXT, photo BLOB)",
    "CREATE TABLE subjects (code TEXT PRIMARY KEY, name TEXT NOT NULL) WITHOUT ROWID",
    "CREATE TABLE marks (student_id INTEGER NOT NULL, subject_code TEXT NOT NULL, exam TEXT NOT "
    "NULL, score INTEGER CHECK (score BETWEEN 0 AND 100), remark TEXT)",
    "CREATE TABLE audit (id INTEGER PRIMARY KEY, at TEXT, what TEXT)",
    "CREATE INDEX students_by_name ON students (name)",
    "CREATE INDEX students_by_class ON students (class_id, name)",
    "CREATE INDEX marks_by_student ON marks (student_id, subject_code, exam)",
    "CREATE VIEW class_averages AS SELECT c.name AS class, m.subject_code AS subject, "
    "avg(m.score) AS average FROM marks m JOIN students s ON s.id = m.student_id JOIN classes c "
    "ON c.id = s.class_id GROUP BY c.name, m.subject_code",
    "CREATE TRIGGER students_moved AFTER UPDATE OF class_id ON students BEGIN INSERT INTO audit "
    "(at, what) VALUES ('moved', new.admission_no); END",
};

const char* const kSubjects[][2] = {
    {"BM", "Bahasa Melayu"}, {"BI", "Bahasa Inggeris"}, {"MT", "Matematik"},
    {"SN", "Sains"},         {"SJ", "Sejarah"},         {"PI", "Pendidikan Islam"},
};

const char* const kNames[] = {"Ahmad", "Siti",  "Muthu", "Mei Ling", "Aisyah",  "Rajesh",
                              "Nur",   "Farid", "Hana",  "Daniel",   "Kavitha", "Wei Jie"};

QByteArray randomBytes(std::mt19937& random, int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes) byte = char(random() & 0xff);
    return bytes;
}

QByteArray randomText(std::mt19937& random, int size) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz     ";
    QByteArray text(size, Qt::Uninitialized);
    for (char& c : text) c = letters[random() % (sizeof letters - 1)];
    return text;
}

class Filler {
  public:
    Filler(Database& database, std::uint32_t seed)
        : database_(database),
          random_(seed),
          student_(database.handle(),
                   "INSERT INTO students (admission_no, name, class_id, birth_date, address, "
                   "photo) VALUES (?1, ?2, ?3, ?4, ?5, ?6)"),
          mark_(database.handle(),
                "INSERT INTO marks (student_id, subject_code, exam, score, remark) VALUES (?1, "
                "?2, ?3, ?4, ?5)") {}

    void addFixedRows() {
        Statement classes(database_.handle(),
                          "INSERT INTO classes (id, name, form, teacher) VALUES (?1, ?2, ?3, ?4)");
        for (int id = 1; id <= 30; ++id) {
            classes.reset();
            classes.bindInt64(1, id);
            classes.bindText(2, QByteArray::number((id - 1) / 6 + 1) + " " +
                                    QByteArray("ABCDEF").mid((id - 1) % 6, 1));
            classes.bindInt64(3, (id - 1) / 6 + 1);
            classes.bindText(4, QByteArray("Cikgu ") + kNames[id % 12]);
            classes.step();
        }
        Statement subjects(database_.handle(), "INSERT INTO subjects (code, name) VALUES (?1, ?2)");
        for (const auto& subject : kSubjects) {
            subjects.reset();
            subjects.bindText(1, subject[0]);
            subjects.bindText(2, subject[1]);
            subjects.step();
        }
    }

    void addStudents(int count) {
        for (int i = 0; i < count; ++i) addStudent();
    }

  private:
    void addStudent() {
        ++students_;
        student_.reset();
        student_.bindText(1, "ADM" + QByteArray::number(students_).rightJustified(7, '0'));
        student_.bindText(2, QByteArray(kNames[random_() % 12]) + " " + randomText(random_, 12));
        student_.bindInt64(3, random_() % 30 + 1);
        student_.bindText(4, "20" + QByteArray::number(10 + random_() % 10) + "-0" +
                                 QByteArray::number(random_() % 9 + 1) + "-1" +
                                 QByteArray::number(random_() % 9));
        student_.bindText(5, randomText(random_, 60 + random_() % 80));
        student_.bindBlob(6, randomBytes(random_, 800 + random_() % 1200));
        student_.step();
        const std::int64_t id = sqlite3_last_insert_rowid(database_.handle());
        for (int m = 0; m < kMarksPerStudent; ++m) {
            mark_.reset();
            mark_.bindInt64(1, id);
            mark_.bindText(2, kSubjects[m % 6][0]);
            mark_.bindText(3, m < 6 ? "PPT" : "PAT");
            mark_.bindInt64(4, random_() % 101);
            mark_.bindText(5, randomText(random_, 10 + random_() % 30));
            mark_.step();
        }
    }

    Database& database_;
    std::mt19937 random_;
    Statement student_;
    Statement mark_;
    std::int64_t students_ = 0;
};

std::int64_t fileSize(Database& database) {
    return database.queryInt64("PRAGMA page_count") * kPageSize;
}

}  // namespace

void createDatabase(const QString& hostPath, const DatabaseOptions& options) {
    if (QFileInfo::exists(hostPath)) {
        throw std::runtime_error("exists already: " + hostPath.toStdString());
    }
    Database database(QFile::encodeName(hostPath).toStdString(),
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    // No password: a plain SQLite file.
    if (!options.password.isEmpty()) {
        database.key(options.password);
        database.execute("PRAGMA cipher_compatibility = " + std::to_string(options.cipherFormat));
    }
    // Fast to make: a large cache and no journal on disk.
    database.execute("PRAGMA cache_size = -65536");
    database.execute("PRAGMA journal_mode = MEMORY");
    database.execute("PRAGMA synchronous = OFF");
    database.execute("PRAGMA user_version = 2024");
    database.execute("BEGIN");
    for (const char* statement : kSchema) database.execute(statement);
    Filler filler(database, options.seed);
    filler.addFixedRows();
    while (fileSize(database) < options.sizeBytes) filler.addStudents(kStudentsPerBatch);
    database.execute("COMMIT");

    if (options.freeShare > 0) {
        const int runs = int(options.freeShare * kDeleteCycle + 0.5);
        // Spread evenly over the cycle, so small files keep rows too.
        const std::string chosen = "((id / " + std::to_string(kDeleteRun) + ") * " +
                                   std::to_string(runs) + ") % " + std::to_string(kDeleteCycle) +
                                   " < " + std::to_string(runs);
        database.execute("BEGIN");
        database.execute("DELETE FROM marks WHERE student_id IN (SELECT id FROM students WHERE " +
                         chosen + ")");
        database.execute("DELETE FROM students WHERE " + chosen);
        database.execute("COMMIT");
    }
}

void damage(const QString& hostPath, int pages, std::uint32_t seed) {
    QFile file(hostPath);
    if (!file.open(QIODevice::ReadWrite)) {
        throw std::runtime_error("cannot open " + hostPath.toStdString());
    }
    const std::int64_t pageCount = file.size() / kPageSize;
    std::mt19937 random(seed);
    constexpr int kSpread = 5;
    const std::int64_t first = std::max<std::int64_t>(1, pageCount / 2 - pages * kSpread / 2);
    for (int i = 0; i < pages; ++i) {
        const std::int64_t page = first + std::int64_t(i) * kSpread;
        if (page >= pageCount) break;
        file.seek(page * kPageSize);
        file.write(randomBytes(random, kPageSize));
    }
}

std::int64_t damageLeaf(const QString& hostPath, const QByteArray& name, std::uint32_t seed,
                        const QByteArray& password) {
    std::vector<std::int64_t> leaves;
    std::int64_t pageSize = 0;
    {
        auto database = openForReading(hostPath, password);
        pageSize = database->queryInt64("PRAGMA page_size");
        platform::sqlite::Statement pages(
            database->handle(),
            "SELECT pageno FROM dbstat WHERE name = ?1 AND pagetype = 'leaf' ORDER BY pageno");
        pages.bindText(1, name);
        while (pages.step()) leaves.push_back(pages.columnInt64(0));
    }
    if (leaves.empty()) throw std::runtime_error("no leaf page of " + name.toStdString());
    const std::int64_t page = leaves[leaves.size() / 2];
    QFile file(hostPath);
    if (!file.open(QIODevice::ReadWrite)) {
        throw std::runtime_error("cannot open " + hostPath.toStdString());
    }
    std::mt19937 random(seed);
    file.seek((page - 1) * pageSize);
    file.write(randomBytes(random, int(pageSize)));
    return page;
}

std::unique_ptr<Database> openForReading(const QString& hostPath, const QByteArray& password) {
    const std::string uri = platform::sqlite::fileUri(QFile::encodeName(hostPath), "mode=ro");
    for (const int format : {4, 3, 2, 1}) {
        auto database = std::make_unique<Database>(uri, SQLITE_OPEN_READONLY);
        if (password.isEmpty()) return database;
        database->key(password);
        database->execute("PRAGMA cipher_compatibility = " + std::to_string(format));
        try {
            database->queryInt64("SELECT count(*) FROM sqlite_master");
            return database;
        } catch (const platform::sqlite::SqliteError& error) {
            if (format == 1) throw;
        }
    }
    return nullptr;
}

namespace {

void addValue(QCryptographicHash& hash, Statement& row, int column) {
    sqlite3_value* value = row.columnValue(column);
    const char type = char('0' + sqlite3_value_type(value));
    hash.addData(QByteArrayView(&type, 1));
    const int bytes = sqlite3_value_bytes(value);
    hash.addData(QByteArray::number(bytes) + ':');
    if (sqlite3_value_type(value) == SQLITE_BLOB) {
        hash.addData(QByteArrayView(static_cast<const char*>(sqlite3_value_blob(value)), bytes));
    } else {
        hash.addData(QByteArrayView(reinterpret_cast<const char*>(sqlite3_value_text(value)),
                                    sqlite3_value_bytes(value)));
    }
}

void addRows(QCryptographicHash& hash, Database& database, const std::string& sql) {
    Statement rows(database.handle(), sql);
    while (rows.step()) {
        for (int column = 0; column < rows.columnCount(); ++column) addValue(hash, rows, column);
        hash.addData("\n");
    }
}

}  // namespace

QByteArray contentDigest(const QString& hostPath, const QByteArray& password) {
    const auto opened = openForReading(hostPath, password);
    Database& database = *opened;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    addRows(hash, database,
            "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name");
    addRows(hash, database, "PRAGMA user_version");
    std::vector<QByteArray> tables;
    {
        Statement names(database.handle(),
                        "SELECT name FROM sqlite_master WHERE type = 'table' AND rootpage > 0 "
                        "ORDER BY name");
        while (names.step()) tables.push_back(names.columnText(0));
    }
    for (const QByteArray& table : tables) {
        std::int64_t columns = 0;
        Statement info(database.handle(), "PRAGMA table_info(" + identifier(table) + ")");
        while (info.step()) ++columns;
        std::string order;
        for (std::int64_t c = 1; c <= columns; ++c)
            order += (c > 1 ? ", " : "") + std::to_string(c);
        hash.addData(table + '\n');
        addRows(hash, database, "SELECT * FROM " + identifier(table) + " ORDER BY " + order);
    }
    return hash.result().toHex();
}

std::int64_t rowCount(const QString& hostPath, const QByteArray& table,
                      const QByteArray& password) {
    return openForReading(hostPath, password)
        ->queryInt64("SELECT count(*) FROM " + identifier(table));
}

QByteArray integrityCheck(const QString& hostPath, const QByteArray& password) {
    return openForReading(hostPath, password)->queryText("PRAGMA integrity_check(1)");
}

}  // namespace sample
