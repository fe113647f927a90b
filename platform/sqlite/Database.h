#pragma once

#include <QByteArray>
#include <cstdint>
#include <stdexcept>
#include <string>

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_value;

namespace platform::sqlite {

// A failed SQLite call: the extended result code, the system errno behind an
// I/O error (0 if none) and SQLite's message.
class SqliteError : public std::runtime_error {
  public:
    SqliteError(int code, int systemErrno, const std::string& message)
        : std::runtime_error(message), code_(code), systemErrno_(systemErrno) {}
    int code() const noexcept { return code_; }
    int primaryCode() const noexcept { return code_ & 0xff; }
    int systemErrno() const noexcept { return systemErrno_; }

  private:
    int code_;
    int systemErrno_;
};

// One prepared statement; finalized when destroyed.
class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Advances to the next row: true while there is one.
    bool step();
    void reset();
    void bindInt64(int index, std::int64_t value);
    void bindText(int index, const QByteArray& value);
    void bindBlob(int index, const QByteArray& value);
    void bindValue(int index, const sqlite3_value* value);

    int columnCount() const;
    std::int64_t columnInt64(int column) const;
    QByteArray columnText(int column) const;
    sqlite3_value* columnValue(int column) const;

  private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

// One connection to a (possibly encrypted) database; closed when destroyed.
class Database {
  public:
    // Opens a file by name or "file:" URI with sqlite3_open_v2 flags; URIs are
    // always understood.
    Database(const std::string& nameOrUri, int flags);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Sets the encryption key (the passphrase) for the main database.
    void key(const QByteArray& passphrase);
    void execute(const std::string& sql);
    // Runs the first statement of `sql` only, as SQLite itself uses schema
    // text; empty text runs nothing.
    void executeFirst(const QByteArray& sql);
    std::int64_t queryInt64(const std::string& sql);
    QByteArray queryText(const std::string& sql);

    sqlite3* handle() const { return db_; }

  private:
    sqlite3* db_ = nullptr;
};

// A "file:" URI for a host path, escaping what URIs give meaning to.
std::string fileUri(const QByteArray& hostPath, const std::string& parameters);

// The SQL literal for a text: quoted, inner quotes doubled.
std::string quoted(const QByteArray& text);
// The SQL identifier for a name: double-quoted, inner quotes doubled.
std::string identifier(const QByteArray& name);

}  // namespace platform::sqlite
