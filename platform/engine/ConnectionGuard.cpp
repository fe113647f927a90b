#include "platform/engine/ConnectionGuard.h"

#include <sqlite3.h>

#include <mutex>
#include <new>

namespace platform::engine {

namespace {

thread_local int guardedDepth = 0;
thread_local int ownStatements = 0;

constexpr char kGuardKey[] = "car-guard";

struct Guard {
    // ATTACHes the connection may still make of its own.
    int freeAttaches = 0;
};

int authorize(void* data, int action, const char*, const char*, const char*, const char*) {
    if (action != SQLITE_ATTACH && action != SQLITE_DETACH) return SQLITE_OK;
    if (ownStatements > 0) return SQLITE_OK;
    auto* guard = static_cast<Guard*>(data);
    if (action == SQLITE_ATTACH && guard && guard->freeAttaches > 0) {
        --guard->freeAttaches;
        return SQLITE_OK;
    }
    return SQLITE_DENY;
}

// One authorizer state per connection, freed when it closes.
Guard* attachGuard(sqlite3* db, int freeAttaches) {
    auto* guard = new (std::nothrow) Guard{freeAttaches};
    if (!guard) return nullptr;
    sqlite3_set_clientdata(db, kGuardKey, guard, [](void* p) { delete static_cast<Guard*>(p); });
    return guard;
}

void distrustSchema(sqlite3* db) {
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
}

int guardExtensionConnection(sqlite3* db, const char**, const sqlite3_api_routines*) {
    if (guardedDepth == 0) return SQLITE_OK;
    distrustSchema(db);
    Guard* guard = attachGuard(db, 1);
    if (!guard) return SQLITE_NOMEM;
    sqlite3_set_authorizer(db, authorize, guard);
    return SQLITE_OK;
}

}  // namespace

void guardConnection(sqlite3* db, bool defensive) {
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, defensive ? 1 : 0, nullptr);
    distrustSchema(db);
    sqlite3_set_authorizer(db, authorize, nullptr);
}

GuardedThread::GuardedThread() {
    ++guardedDepth;
    static std::once_flag registered;
    std::call_once(registered, [] {
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(guardExtensionConnection));
    });
}

GuardedThread::~GuardedThread() {
    --guardedDepth;
}

OwnStatement::OwnStatement() {
    ++ownStatements;
}

OwnStatement::~OwnStatement() {
    --ownStatements;
}

SchemaWrite::SchemaWrite(sqlite3* db) : db_(db) {
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 0, nullptr);
    sqlite3_exec(db_, "PRAGMA writable_schema = ON", nullptr, nullptr, nullptr);
}

SchemaWrite::~SchemaWrite() {
    sqlite3_exec(db_, "PRAGMA writable_schema = OFF", nullptr, nullptr, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
}

}  // namespace platform::engine
