#include "platform/engine/copy/StoredRows.h"

#include <cstring>

#include "platform/engine/copy/SchemaEntries.h"

namespace platform::engine {

namespace {

using sqlite::identifier;
using sqlite::SqliteError;
using sqlite::Statement;

bool isRowidName(const QByteArray& name) {
    const QByteArray lower = name.toLower();
    return lower == "rowid" || lower == "_rowid_" || lower == "oid";
}

// The single primary key column of type INTEGER, if the table has one; it
// is the rowid alias unless the key has an index of its own (DESC).
struct IntegerKey {
    QByteArray column;
    bool alias = false;
};

std::optional<IntegerKey> integerKeyOf(sqlite::Database& copy, const QByteArray& table) {
    Statement keys(copy.handle(),
                   "SELECT name, type FROM pragma_table_info(?1, 'main') WHERE pk > 0");
    keys.bindText(1, table);
    if (!keys.step()) return std::nullopt;
    IntegerKey key{keys.columnText(0), false};
    const bool integer = keys.columnText(1).toLower() == "integer";
    if (keys.step() || !integer) return std::nullopt;
    Statement own(copy.handle(),
                  "SELECT count(*) FROM pragma_index_list(?1, 'main') WHERE origin = 'pk'");
    own.bindText(1, table);
    key.alias = own.step() && own.columnInt64(0) == 0;
    return key;
}

}  // namespace

std::optional<TableShape> shapeOf(sqlite::Database& copy, const QByteArray& table) {
    const auto rowid = rowidName(copy, "main", table);
    {
        Statement list(copy.handle(),
                       "SELECT wr FROM pragma_table_list WHERE schema = 'main' AND name = ?1 "
                       "AND type = 'table'");
        list.bindText(1, table);
        if (!list.step() || list.columnInt64(0) != 0) return std::nullopt;
    }
    TableShape shape;
    shape.table = table;
    const auto key = integerKeyOf(copy, table);
    Statement info(copy.handle(), "SELECT name, hidden FROM pragma_table_xinfo(?1, 'main')");
    info.bindText(1, table);
    while (info.step()) {
        const std::int64_t hidden = info.columnInt64(1);
        if (hidden == 2) continue;  // virtual generated: not stored
        const QByteArray name = info.columnText(0);
        if (key && key->alias && name == key->column) shape.rowidAlias = int(shape.columns.size());
        shape.columns.push_back(hidden == 3 ? QByteArray() : name);
    }
    if (shape.rowidAlias >= 0) {
        shape.rowidTarget = identifier(shape.columns[std::size_t(shape.rowidAlias)]);
    } else if (rowid) {
        shape.rowidTarget = *rowid;
    }
    return shape;
}

bool recoveryMisreads(sqlite::Database& copy, const QByteArray& table) {
    const auto shape = shapeOf(copy, table);
    if (!shape) return false;
    for (const QByteArray& column : shape->columns) {
        if (isRowidName(column)) return true;
    }
    const auto key = integerKeyOf(copy, table);
    return key && !key->alias;
}

bool bindField(sqlite3_stmt* statement, int index, const unsigned char* record,
               const format::RecordField& field, int textEncoding) {
    const unsigned char* value = record + field.offset;
    int rc = SQLITE_OK;
    if (field.serialType == 0) {
        rc = sqlite3_bind_null(statement, index);
    } else if (field.serialType == 7) {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits = bits << 8 | value[i];
        double real;
        std::memcpy(&real, &bits, sizeof real);
        rc = sqlite3_bind_double(statement, index, real);
    } else if (field.serialType >= 12 && field.serialType % 2 == 0) {
        rc = sqlite3_bind_blob64(statement, index, value, field.size, SQLITE_TRANSIENT);
    } else if (field.serialType >= 13) {
        const unsigned char encoding = textEncoding == 2   ? SQLITE_UTF16LE
                                       : textEncoding == 3 ? SQLITE_UTF16BE
                                                           : SQLITE_UTF8;
        rc = sqlite3_bind_text64(statement, index, reinterpret_cast<const char*>(value), field.size,
                                 SQLITE_TRANSIENT, encoding);
    } else if (const auto integer = format::integerValue(record, field)) {
        rc = sqlite3_bind_int64(statement, index, *integer);
    } else {
        return false;
    }
    return rc == SQLITE_OK;
}

StoredRowWriter::StoredRowWriter(sqlite::Database& copy, TableShape shape, int textEncoding)
    : copy_(copy), shape_(std::move(shape)), encoding_(textEncoding) {}

StoredRowWriter::~StoredRowWriter() {
    for (sqlite3_stmt* statement : statements_) sqlite3_finalize(statement);
}

sqlite3_stmt* StoredRowWriter::statementFor(std::size_t fields) {
    if (statements_.size() <= fields) statements_.resize(fields + 1, nullptr);
    if (statements_[fields]) return statements_[fields];
    // ?1 the rowid, ?2... the record's fields.
    std::string names, values;
    auto add = [&](const std::string& name, int parameter) {
        names += (names.empty() ? "" : ", ") + name;
        values += (values.empty() ? "?" : ", ?") + std::to_string(parameter);
    };
    if (shape_.rowidTarget) add(*shape_.rowidTarget, 1);
    for (std::size_t i = 0; i < fields; ++i) {
        if (int(i) == shape_.rowidAlias || shape_.columns[i].isEmpty()) continue;
        add(identifier(shape_.columns[i]), int(i) + 2);
    }
    const std::string sql =
        "INSERT OR IGNORE INTO main." + identifier(shape_.table) +
        (names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + values + ")");
    if (sqlite3_prepare_v2(copy_.handle(), sql.c_str(), -1, &statements_[fields], nullptr) !=
        SQLITE_OK) {
        throw SqliteError(sqlite3_errcode(copy_.handle()), 0, sqlite3_errmsg(copy_.handle()));
    }
    return statements_[fields];
}

bool StoredRowWriter::insert(std::int64_t rowid, const QByteArray& record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(record.constData());
    const auto fields = format::readRecord(bytes, std::size_t(record.size()));
    if (!fields || fields->size() > shape_.columns.size()) return false;
    sqlite3_stmt* statement = statementFor(fields->size());
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (shape_.rowidTarget) sqlite3_bind_int64(statement, 1, rowid);
    for (std::size_t i = 0; i < fields->size(); ++i) {
        if (int(i) == shape_.rowidAlias || shape_.columns[i].isEmpty()) continue;
        if (!bindField(statement, int(i) + 2, bytes, (*fields)[i], encoding_)) return false;
    }
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (rc == SQLITE_DONE) return sqlite3_changes(copy_.handle()) > 0;
    // A value the table's constraints refuse is no row of it.
    if ((rc & 0xff) == SQLITE_CONSTRAINT || (rc & 0xff) == SQLITE_MISMATCH) return false;
    throw SqliteError(rc, 0, sqlite3_errmsg(copy_.handle()));
}

}  // namespace platform::engine
