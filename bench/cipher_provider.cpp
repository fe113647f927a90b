// Times the steps of a compaction on a format-3 database with SQLCipher's
// built-in OpenSSL provider and with platform::engine::installCipherProvider(),
// then the settings that could make the copy faster, and the same done by hand
// with Debian's sqlcipher tool.
//
//   cipher_provider [--data DIR] [--size 256M] [--repeat 3]
//
// DIR (default: a folder under /tmp) keeps the sample database between runs;
// it is made on first use, half its pages free. Each time printed is the
// median of the repeats (with the fastest, and the CPU time, which other load
// on the machine disturbs less), each run on a warm page cache; "heap" is
// SQLite's peak allocation during the step.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/engine/crypto/CipherProvider.h"
#include "sample/SampleDatabase.h"

#define SQLITE_HAS_CODEC 1
#include <sqlite3.h>

namespace {

const std::string kPassword = sample::kPassword;

class Database {
  public:
    explicit Database(const std::string& uri) {
        const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI;
        if (sqlite3_open_v2(uri.c_str(), &db_, flags, nullptr) != SQLITE_OK) fail();
        execute("PRAGMA key = '" + kPassword + "'");
        execute("PRAGMA cipher_compatibility = 3");
    }
    ~Database() { sqlite3_close_v2(db_); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void execute(const std::string& sql) {
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail();
    }
    // Steps through every row; the first column of the last row.
    std::string query(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) fail();
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> finalize(statement, sqlite3_finalize);
        std::string last;
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(statement, 0);
            last = text ? reinterpret_cast<const char*>(text) : "";
        }
        if (rc != SQLITE_DONE) fail();
        return last;
    }
    sqlite3* handle() const { return db_; }

  private:
    [[noreturn]] void fail() { throw std::runtime_error(sqlite3_errmsg(db_)); }
    sqlite3* db_ = nullptr;
};

std::string readOnly(const std::string& path) {
    return "file:" + path + "?mode=ro";
}

void syncPath(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0 || ::fsync(fd) != 0) throw std::runtime_error("fsync failed: " + path);
    ::close(fd);
}

// Dirty data of earlier steps written back, the source read once: every run
// starts alike.
void settle(const std::string& source) {
    ::sync();
    std::vector<char> buffer(1 << 20);
    const int fd = ::open(source.c_str(), O_RDONLY);
    while (fd >= 0 && ::read(fd, buffer.data(), buffer.size()) > 0) {
    }
    if (fd >= 0) ::close(fd);
}

struct Timing {
    double seconds = 0;  // median wall time
    double fastest = 0;
    double cpu = 0;  // median user + system time, threads and child processes included
    double heapMiB = 0;
};

double cpuSeconds() {
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        ::getrusage(who, &usage);
        total += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Timing measure(int repeat, const std::string& source, const std::function<void()>& prepare,
               const std::function<void()>& step) {
    std::vector<double> times;
    std::vector<double> cpu;
    double heap = 0;
    for (int r = 0; r < repeat; ++r) {
        prepare();
        settle(source);
        sqlite3_memory_highwater(1);
        const double cpuStart = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        step();
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpu.push_back(cpuSeconds() - cpuStart);
        heap = std::max(heap, double(sqlite3_memory_highwater(0)) / (1 << 20));
    }
    return {median(times), *std::min_element(times.begin(), times.end()), median(cpu), heap};
}

void print(const std::string& what, const Timing& t) {
    std::printf("  %-58s %6.3f s (min %6.3f, cpu %6.3f)  heap %6.1f MiB\n", what.c_str(), t.seconds,
                t.fastest, t.cpu, t.heapMiB);
    std::fflush(stdout);
}

// A format-3 database of about `bytes`, half its pages on the free list: two
// tables filled row by row in turn, so that their pages interleave, then one
// dropped.
void makeSource(const std::string& path, long long bytes) {
    std::printf("making %s (%lld MiB, half free)\n", path.c_str(), bytes >> 20);
    Database db(path);
    db.execute("PRAGMA cache_size = -65536; PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF");
    db.execute(
        "CREATE TABLE students(id INTEGER PRIMARY KEY, name TEXT, score REAL, notes BLOB);"
        "CREATE INDEX students_name ON students(name);"
        "CREATE TABLE scratch(id INTEGER PRIMARY KEY, name TEXT, score REAL, notes BLOB);"
        "CREATE INDEX scratch_name ON scratch(name);");
    db.execute("BEGIN");
    const char* inserts[] = {
        "INSERT INTO students(name, score, notes) VALUES "
        "(printf('student %010d', abs(random()) % 10000000000), random() % 1000 / 10.0, "
        "randomblob(150 + abs(random()) % 100))",
        "INSERT INTO scratch(name, score, notes) VALUES "
        "(printf('scratch %010d', abs(random()) % 10000000000), random() % 1000 / 10.0, "
        "randomblob(150 + abs(random()) % 100))"};
    for (long long row = 0;; ++row) {
        db.execute(inserts[row % 2]);
        if (row % 20000 == 0 && std::stoll(db.query("PRAGMA page_count")) * 1024 >= bytes) break;
    }
    db.execute("COMMIT");
    db.execute("DROP TABLE scratch");
    std::printf("  %s pages, %s free\n", db.query("PRAGMA page_count").c_str(),
                db.query("PRAGMA freelist_count").c_str());
}

struct CopySettings {
    std::string label;
    int cacheKiB = 0;  // 0: SQLite's default
    std::string journal = "DELETE";
    std::string synchronous = "FULL";
    bool exclusive = false;
    bool spill = true;
    long long mmap = 0;
    bool hmac = true;
    std::string memorySecurity;  // empty: the library's default
};

// sqlcipher_export into a new file, then one fsync of the file and its folder.
void exportCopy(const std::string& source, const std::string& copy, const CopySettings& s) {
    {
        Database db(readOnly(source));
        if (!s.memorySecurity.empty())
            db.execute("PRAGMA cipher_memory_security = " + s.memorySecurity);
        if (s.cacheKiB) db.execute("PRAGMA main.cache_size = -" + std::to_string(s.cacheKiB));
        if (s.mmap) db.execute("PRAGMA main.mmap_size = " + std::to_string(s.mmap));
        if (s.exclusive) db.execute("PRAGMA main.locking_mode = EXCLUSIVE");
        db.execute("ATTACH '" + copy + "' AS copy KEY '" + kPassword + "'");
        db.execute("PRAGMA copy.cipher_compatibility = 3");
        if (!s.hmac) db.execute("PRAGMA copy.cipher_use_hmac = OFF");
        db.execute("PRAGMA copy.journal_mode = " + s.journal);
        db.execute("PRAGMA copy.synchronous = " + s.synchronous);
        if (s.cacheKiB) db.execute("PRAGMA copy.cache_size = -" + std::to_string(s.cacheKiB));
        if (s.exclusive) db.execute("PRAGMA copy.locking_mode = EXCLUSIVE");
        if (!s.spill) db.execute("PRAGMA copy.cache_spill = OFF");
        db.execute("SELECT sqlcipher_export('copy')");
        db.execute("DETACH copy");
    }
    syncPath(copy);
    syncPath(std::filesystem::path(copy).parent_path().string());
}

std::string checkCopy(const std::string& copy, int cacheKiB = 0) {
    Database db(readOnly(copy));
    if (cacheKiB) db.execute("PRAGMA cache_size = -" + std::to_string(cacheKiB));
    return db.query("PRAGMA integrity_check");
}

// The last row of cipher_integrity_check, which has one per failed page: empty
// when every page passed.
std::string cipherCheck(const std::string& source) {
    Database db(readOnly(source));
    return db.query("PRAGMA cipher_integrity_check");
}

std::string readAllPages(const std::string& source, long long mmap = 0, int cacheKiB = 0) {
    Database db(readOnly(source));
    if (mmap) db.execute("PRAGMA mmap_size = " + std::to_string(mmap));
    if (cacheKiB) db.execute("PRAGMA cache_size = -" + std::to_string(cacheKiB));
    return db.query("SELECT sum(length(data)) FROM sqlite_dbpage");
}

void expect(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
}

// The file read as SQLite reads it, one system call per 1 KiB page, without
// decryption: the floor under (a) and (d).
void readInPages(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    char page[1024];
    for (off_t offset = 0; ::pread(fd, page, sizeof page, offset) > 0; offset += sizeof page) {
    }
    ::close(fd);
}

struct Results {
    Timing check, exportDefault, integrity, dbpage;
};

Results mainSteps(const std::string& label, int repeat, const std::string& source,
                  const std::string& copy) {
    std::printf("%s\n", label.c_str());
    const auto removeCopy = [&] { std::filesystem::remove(copy); };
    Results r;
    r.check = measure(
        repeat, source, [] {}, [&] { expect(cipherCheck(source).empty(), "cipher check"); });
    print("(a) PRAGMA cipher_integrity_check of the source", r.check);
    r.exportDefault = measure(repeat, source, removeCopy, [&] { exportCopy(source, copy, {}); });
    print("(b) sqlcipher_export into a new file (defaults) + fsync", r.exportDefault);
    r.integrity = measure(
        repeat, source, [] {}, [&] { expect(checkCopy(copy) == "ok", "copy check"); });
    print("(c) PRAGMA integrity_check of the copy", r.integrity);
    r.dbpage = measure(
        repeat, source, [] {}, [&] { readAllPages(source); });
    print("(d) every page of the source through sqlite_dbpage", r.dbpage);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = "/tmp/car-cipher-bench";
    long long bytes = 256ll << 20;
    int repeat = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--data")
            dir = argv[i + 1];
        else if (option == "--size")
            bytes = std::stoll(argv[i + 1]) << 20;
        else if (option == "--repeat")
            repeat = std::max(1, std::atoi(argv[i + 1]));
        else {
            std::fprintf(stderr, "usage: cipher_provider [--data DIR] [--size MiB] [--repeat N]\n");
            return 2;
        }
    }
    try {
        std::filesystem::create_directories(dir);
        const std::string source = dir + "/source-" + std::to_string(bytes >> 20) + "M.db";
        const std::string copy = dir + "/copy.db";
        // Made with the built-in provider, before ours is installed.
        if (!std::filesystem::exists(source)) makeSource(source, bytes);
        std::printf("source %s: %lld bytes; medians of %d\n", source.c_str(),
                    (long long)std::filesystem::file_size(source), repeat);
        const auto removeCopy = [&] { std::filesystem::remove(copy); };

        const Results builtIn = mainSteps("built-in provider", repeat, source, copy);
        platform::engine::installCipherProvider();
        {
            Database db(readOnly(source));
            std::printf("provider now: %s; cipher_memory_security default: %s\n",
                        db.query("PRAGMA cipher_provider").c_str(),
                        db.query("PRAGMA cipher_memory_security").c_str());
        }
        const Results ours = mainSteps(
            std::string("provider ") + platform::engine::kCipherProviderName, repeat, source, copy);
        std::printf("speed-up (built-in / ours): a %.2f  b %.2f  c %.2f  d %.2f\n",
                    builtIn.check.seconds / ours.check.seconds,
                    builtIn.exportDefault.seconds / ours.exportDefault.seconds,
                    builtIn.integrity.seconds / ours.integrity.seconds,
                    builtIn.dbpage.seconds / ours.dbpage.seconds);

        std::printf("levers, with %s, step (b) unless said\n",
                    platform::engine::kCipherProviderName);
        // Each lever on top of the copy written without journal or syncs.
        const auto lever = [](std::string label, const std::function<void(CopySettings&)>& set) {
            CopySettings s;
            s.label = std::move(label);
            s.journal = "OFF";
            s.synchronous = "OFF";
            set(s);
            return s;
        };
        std::vector<CopySettings> levers;
        levers.push_back(lever("copy journal MEMORY, synchronous OFF (engine today)",
                               [](CopySettings& s) { s.journal = "MEMORY"; }));
        levers.push_back(lever("copy journal OFF, synchronous OFF", [](CopySettings&) {}));
        for (int kib : {8192, 32768})
            levers.push_back(lever("+ cache_size " + std::to_string(kib / 1024) + " MiB each",
                                   [kib](CopySettings& s) { s.cacheKiB = kib; }));
        levers.push_back(
            lever("+ locking_mode EXCLUSIVE both", [](CopySettings& s) { s.exclusive = true; }));
        levers.push_back(lever("+ copy cache_spill OFF", [](CopySettings& s) { s.spill = false; }));
        levers.push_back(
            lever("+ source mmap_size 256 MiB", [](CopySettings& s) { s.mmap = 256ll << 20; }));
        levers.push_back(
            lever("+ cipher_memory_security ON", [](CopySettings& s) { s.memorySecurity = "ON"; }));
        levers.push_back(lever("+ copy cipher_use_hmac OFF (another format: not usable)",
                               [](CopySettings& s) { s.hmac = false; }));
        for (const auto& settings : levers)
            print(settings.label,
                  measure(repeat, source, removeCopy, [&] { exportCopy(source, copy, settings); }));

        print("(d) with mmap_size 256 MiB",
              measure(
                  repeat, source, [] {}, [&] { readAllPages(source, 256ll << 20); }));
        // The last lever's copy is of another format: a plain one to check.
        print("(c) with cache_size 32 MiB",
              measure(
                  repeat, source,
                  [&] {
                      removeCopy();
                      exportCopy(source, copy, lever("plain", [](CopySettings&) {}));
                  },
                  [&] { expect(checkCopy(copy, 32768) == "ok", "copy check"); }));

        // The source check on a second connection and thread while the copy is written.
        const CopySettings best = lever("best", [](CopySettings& s) {
            s.cacheKiB = 8192;
            s.exclusive = true;
        });
        const Timing sequential = measure(repeat, source, removeCopy, [&] {
            expect(cipherCheck(source).empty(), "cipher check");
            exportCopy(source, copy, best);
        });
        print("(a) then (b) best settings, one thread", sequential);
        const Timing parallel = measure(repeat, source, removeCopy, [&] {
            std::string result;
            std::thread checker([&] { result = cipherCheck(source); });
            exportCopy(source, copy, best);
            checker.join();
            expect(result.empty(), "cipher check");
        });
        print("(a) on a second thread during (b) best settings", parallel);
        const Timing pipeline = measure(repeat, source, removeCopy, [&] {
            std::string result;
            std::thread checker([&] { result = cipherCheck(source); });
            exportCopy(source, copy, best);
            checker.join();
            expect(result.empty(), "cipher check");
            expect(checkCopy(copy, 8192) == "ok", "copy check");
        });
        print("whole: (a) || (b) best, then (c)", pipeline);
        std::printf(
            "whole with the built-in provider and defaults, (a)+(b)+(c): %.3f s\n",
            builtIn.check.seconds + builtIn.exportDefault.seconds + builtIn.integrity.seconds);

        print("1 KiB preads of the whole source, no decryption",
              measure(
                  repeat, source, [] {}, [&] { readInPages(source); }));
        print("the same on two threads at once",
              measure(
                  repeat, source, [] {},
                  [&] {
                      std::thread other([&] { readInPages(source); });
                      readInPages(source);
                      other.join();
                  }));

        // By hand: back up, export with Debian's 3.4.1 tool, swap the copy in.
        if (std::system("command -v sqlcipher >/dev/null") == 0) {
            const std::string work = dir + "/hand";
            const std::string script = dir + "/by-hand.sql";
            std::FILE* f = std::fopen(script.c_str(), "w");
            std::fprintf(f,
                         "PRAGMA key='%s';\nATTACH DATABASE '%s/db.new' AS compacted KEY '%s';\n"
                         "SELECT sqlcipher_export('compacted');\nDETACH DATABASE compacted;\n",
                         kPassword.c_str(), work.c_str(), kPassword.c_str());
            std::fclose(f);
            const std::string command = "cp --reflink=auto '" + work + "/db' '" + work +
                                        "/db.backup' && sqlcipher -bail '" + work + "/db' < '" +
                                        script + "' >/dev/null && mv '" + work + "/db.new' '" +
                                        work + "/db'";
            print("by hand: cp --reflink=auto + sqlcipher 3.4.1 export + mv",
                  measure(
                      repeat, source,
                      [&] {
                          std::filesystem::remove_all(work);
                          std::filesystem::create_directories(work);
                          std::filesystem::copy_file(source, work + "/db");
                      },
                      [&] { expect(std::system(command.c_str()) == 0, "by hand"); }));
            std::filesystem::remove_all(work);
        }
        std::filesystem::remove(copy);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cipher_provider: %s\n", e.what());
        return 1;
    }
    return 0;
}
