#include "platform/sqlite/Database.h"

#include <sqlite3.h>

namespace platform::sqlite {

namespace {
// Raises the current error of a connection as a SqliteError.
[[noreturn]] void throwError(sqlite3* db, int code) {
    const int extended = db ? sqlite3_extended_errcode(db) : code;
    const int systemErrno = db ? sqlite3_system_errno(db) : 0;
    const std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    // The connection's code is the more precise unless it went stale.
    const int reported = (extended & 0xff) == (code & 0xff) ? extended : code;
    throw SqliteError(reported, systemErrno, message);
}
}  // namespace

Statement::Statement(sqlite3* db, const std::string& sql) : db_(db) {
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), int(sql.size()), &statement_, nullptr);
    if (rc != SQLITE_OK) throwError(db, rc);
}

Statement::~Statement() {
    sqlite3_finalize(statement_);
}

bool Statement::step() {
    const int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throwError(db_, rc);
}

void Statement::reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

void Statement::bindInt64(int index, std::int64_t value) {
    const int rc = sqlite3_bind_int64(statement_, index, value);
    if (rc != SQLITE_OK) throwError(db_, rc);
}

void Statement::bindText(int index, const QByteArray& value) {
    const int rc = sqlite3_bind_text(statement_, index, value.constData(), int(value.size()),
                                     SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) throwError(db_, rc);
}

void Statement::bindBlob(int index, const QByteArray& value) {
    const int rc = sqlite3_bind_blob(statement_, index, value.constData(), int(value.size()),
                                     SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) throwError(db_, rc);
}

void Statement::bindValue(int index, const sqlite3_value* value) {
    const int rc = sqlite3_bind_value(statement_, index, value);
    if (rc != SQLITE_OK) throwError(db_, rc);
}

int Statement::columnCount() const {
    return sqlite3_column_count(statement_);
}

std::int64_t Statement::columnInt64(int column) const {
    return sqlite3_column_int64(statement_, column);
}

QByteArray Statement::columnText(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return QByteArray(text ? text : "", sqlite3_column_bytes(statement_, column));
}

sqlite3_value* Statement::columnValue(int column) const {
    return sqlite3_column_value(statement_, column);
}

Database::Database(const std::string& nameOrUri, int flags) {
    const int rc = sqlite3_open_v2(nameOrUri.c_str(), &db_, flags | SQLITE_OPEN_URI, nullptr);
    if (rc != SQLITE_OK) {
        const int systemErrno = db_ ? sqlite3_system_errno(db_) : 0;
        const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw SqliteError(rc, systemErrno, message);
    }
    sqlite3_extended_result_codes(db_, 1);
}

Database::~Database() {
    sqlite3_close_v2(db_);
}

void Database::key(const QByteArray& passphrase) {
    const int rc = sqlite3_key(db_, passphrase.constData(), int(passphrase.size()));
    if (rc != SQLITE_OK) throwError(db_, rc);
}

void Database::execute(const std::string& sql) {
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) throwError(db_, rc);
}

void Database::executeFirst(const QByteArray& sql) {
    sqlite3_stmt* statement = nullptr;
    const int rc = sqlite3_prepare_v2(db_, sql.constData(), int(sql.size()), &statement, nullptr);
    if (rc != SQLITE_OK) throwError(db_, rc);
    int step = SQLITE_DONE;
    if (statement) {
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        }
    }
    sqlite3_finalize(statement);
    if (step != SQLITE_DONE) throwError(db_, step);
}

std::int64_t Database::queryInt64(const std::string& sql) {
    Statement statement(db_, sql);
    return statement.step() ? statement.columnInt64(0) : 0;
}

QByteArray Database::queryText(const std::string& sql) {
    Statement statement(db_, sql);
    return statement.step() ? statement.columnText(0) : QByteArray();
}

std::string fileUri(const QByteArray& hostPath, const std::string& parameters) {
    static const char hex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (const char c : hostPath) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '/' || byte == '-' ||
                           byte == '_' || byte == '.' || byte == '~';
        if (plain) {
            uri += char(byte);
        } else {
            uri += '%';
            uri += hex[byte >> 4];
            uri += hex[byte & 0xf];
        }
    }
    if (!parameters.empty()) uri += "?" + parameters;
    return uri;
}

namespace {
std::string doubled(const QByteArray& text, char quote) {
    std::string result(1, quote);
    for (const char c : text) {
        result += c;
        if (c == quote) result += c;
    }
    result += quote;
    return result;
}
}  // namespace

std::string quoted(const QByteArray& text) {
    return doubled(text, '\'');
}
std::string identifier(const QByteArray& name) {
    return doubled(name, '"');
}

}  // namespace platform::sqlite
