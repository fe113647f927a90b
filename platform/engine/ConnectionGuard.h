#pragma once

struct sqlite3;

namespace platform::engine {

// What keeps a database file's contents from running anything. Every
// connection the engine opens gets guardConnection(): defensive mode,
// trusted_schema off, and an authorizer that denies ATTACH and DETACH (and
// with them VACUUM INTO, which attaches its target) unless the engine itself
// is running one of its own statements (OwnStatement).
// `defensive` false only for a connection that reads the engine's read-only
// image, where SQLite's recovery needs the writable schema to read around a
// damaged one.
void guardConnection(sqlite3* db, bool defensive = true);

// Connections that SQLite's recovery extension opens for itself while this
// lives on the thread get trusted_schema off and the authorizer too; each of
// them may ATTACH once, before anything else does: the extension's own state
// database. (Defensive mode would take away the writable schema the
// extension builds its output with.)
class GuardedThread {
  public:
    GuardedThread();
    ~GuardedThread();
    GuardedThread(const GuardedThread&) = delete;
    GuardedThread& operator=(const GuardedThread&) = delete;
};

// The engine's own ATTACH or DETACH, prepared and run while this lives.
class OwnStatement {
  public:
    OwnStatement();
    ~OwnStatement();
    OwnStatement(const OwnStatement&) = delete;
    OwnStatement& operator=(const OwnStatement&) = delete;
};

// Writes to the schema table that only the engine makes (a virtual table's
// entry, SQLite's own tables), with defensive mode lifted while this lives.
class SchemaWrite {
  public:
    explicit SchemaWrite(sqlite3* db);
    ~SchemaWrite();
    SchemaWrite(const SchemaWrite&) = delete;
    SchemaWrite& operator=(const SchemaWrite&) = delete;

  private:
    sqlite3* db_;
};

}  // namespace platform::engine
