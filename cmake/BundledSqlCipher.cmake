# SQLCipher 4.14.0 (SQLite 3.51.3) with SQLite's recovery extension, built as a
# static library from the sources that scripts/fetch_deps.sh puts in CAR_DEPS_CACHE.
#
#   bundled_sqlcipher (alias SqlCipher::SqlCipher)  static library; consumers get
#       <sqlite3.h> and <sqlite3recover.h> from the bundled sources, ahead of any
#       system copy, with sqlite3_key() and friends declared.
#   bundled_sqlcipher_shell   the sqlite3 shell (with .recover) on that library, for
#       comparisons in tests and benchmarks; not installed, only defined when
#       fetch_deps.sh could make shell.c (it needs tclsh).
#
# Include it from the top-level CMakeLists.txt: it enables C, which must be enabled
# in the highest folder that links the library.
include_guard(GLOBAL)

if(DEFINED ENV{CAR_DEPS_CACHE})
    set(_car_deps_default "$ENV{CAR_DEPS_CACHE}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(_car_deps_default "$ENV{XDG_CACHE_HOME}/compactandrepair-deps")
else()
    set(_car_deps_default "$ENV{HOME}/.cache/compactandrepair-deps")
endif()
set(CAR_DEPS_CACHE "${_car_deps_default}" CACHE PATH
    "Folder where scripts/fetch_deps.sh keeps the third-party sources")

# Keep in step with the folder names in scripts/fetch_deps.sh.
set(_car_sqlcipher_dir "${CAR_DEPS_CACHE}/sqlcipher-4.14.0")
set(_car_recover_dir "${CAR_DEPS_CACHE}/sqlite-3.52.0")
set(_car_shell_source "${CAR_DEPS_CACHE}/sqlite-3.46.1-shell/shell.c")

foreach(_car_file
        "${_car_sqlcipher_dir}/sqlite3.c" "${_car_sqlcipher_dir}/sqlite3.h"
        "${_car_recover_dir}/sqlite3recover.c" "${_car_recover_dir}/sqlite3recover.h"
        "${_car_recover_dir}/dbdata.c")
    if(NOT EXISTS "${_car_file}")
        message(FATAL_ERROR
            "Bundled SQLCipher: ${_car_file} is missing.\n"
            "Run scripts/fetch_deps.sh (it fetches and verifies the pinned sources into "
            "${CAR_DEPS_CACHE}), or point CAR_DEPS_CACHE at a folder it filled.")
    endif()
endforeach()

enable_language(C)
find_package(OpenSSL 3 REQUIRED)
find_package(Threads REQUIRED)

# Consumers see only these headers: a private copy keeps the system's
# /usr/include/sqlcipher/sqlite3.h or any other file of the cache folders out of reach.
set(_car_sqlcipher_include "${CMAKE_BINARY_DIR}/bundled_sqlcipher/include")
file(MAKE_DIRECTORY "${_car_sqlcipher_include}")
foreach(_car_header "${_car_sqlcipher_dir}/sqlite3.h" "${_car_sqlcipher_dir}/sqlite3ext.h"
        "${_car_recover_dir}/sqlite3recover.h")
    configure_file("${_car_header}" "${_car_sqlcipher_include}" COPYONLY)
endforeach()

add_library(bundled_sqlcipher STATIC
    "${_car_sqlcipher_dir}/sqlite3.c"
    "${_car_recover_dir}/sqlite3recover.c"
    "${_car_recover_dir}/dbdata.c")
add_library(SqlCipher::SqlCipher ALIAS bundled_sqlcipher)

target_include_directories(bundled_sqlcipher BEFORE PUBLIC "${_car_sqlcipher_include}")

target_compile_definitions(bundled_sqlcipher
    PUBLIC
        # sqlite3.h declares sqlite3_key() and sqlite3_rekey() only with this.
        SQLITE_HAS_CODEC
        # For a compile-time check that <sqlite3.h> is this one:
        # static_assert(SQLITE_VERSION_NUMBER == CAR_BUNDLED_SQLITE_VERSION_NUMBER).
        CAR_BUNDLED_SQLITE_VERSION_NUMBER=3051003
    PRIVATE
        # SQLCipher 4 refuses to build without its init and shutdown hooks.
        SQLITE_EXTRA_INIT=sqlcipher_extra_init
        SQLITE_EXTRA_SHUTDOWN=sqlcipher_extra_shutdown
        # The amalgamation in this release has only the classic OpenSSL provider
        # (crypto_openssl.c, which builds on OpenSSL 3); SQLCIPHER_CRYPTO_OSSL3 would
        # fall back to it anyway.
        SQLCIPHER_CRYPTO_OPENSSL
        # What configure would find on glibc. Without stdint.h SQLCipher's random
        # generator does not compile; without usleep busy waits sleep whole seconds.
        HAVE_STDINT_H=1 HAVE_INTTYPES_H=1 HAVE_USLEEP=1 HAVE_FDATASYNC=1
        HAVE_LOCALTIME_R=1 HAVE_GMTIME_R=1
        SQLITE_THREADSAFE=1
        # Temporary tables and VACUUM's copy stay in memory: never plaintext on disk.
        SQLITE_TEMP_STORE=3
        # sqlite_dbpage reads (and the recovery extension needs) raw pages;
        # dbstat shows page use per table.
        SQLITE_ENABLE_DBPAGE_VTAB SQLITE_ENABLE_DBSTAT_VTAB
        # Whatever the database's schema uses must parse and copy, as it did with
        # Debian's libsqlcipher (FTS3/4, R*Tree, DELETE ... LIMIT in triggers).
        SQLITE_ENABLE_FTS3 SQLITE_ENABLE_FTS3_PARENTHESIS SQLITE_ENABLE_FTS4
        SQLITE_ENABLE_FTS5 SQLITE_ENABLE_RTREE SQLITE_ENABLE_UPDATE_DELETE_LIMIT
        SQLITE_ENABLE_COLUMN_METADATA SQLITE_SOUNDEX
        # Nothing is loaded from disk into a process that holds the key.
        SQLITE_OMIT_LOAD_EXTENSION)
# Not SQLITE_DQS=0: a schema with a double-quoted string literal would then fail
# to parse, and the database with it.

# Third-party code: the project's -Wall -Wextra -Werror must not break it.
target_compile_options(bundled_sqlcipher PRIVATE -w)
set_target_properties(bundled_sqlcipher PROPERTIES C_STANDARD 11 C_EXTENSIONS ON)

target_link_libraries(bundled_sqlcipher PUBLIC OpenSSL::Crypto Threads::Threads
    ${CMAKE_DL_LIBS} m)

if(EXISTS "${_car_shell_source}")
    add_executable(bundled_sqlcipher_shell "${_car_shell_source}")
    target_compile_definitions(bundled_sqlcipher_shell PRIVATE
        # The shell then uses the library's (newer) recovery extension.
        SQLITE_HAVE_SQLITE3R
        SQLITE_ENABLE_DBPAGE_VTAB SQLITE_OMIT_LOAD_EXTENSION
        HAVE_STDINT_H=1 HAVE_INTTYPES_H=1)
    target_compile_options(bundled_sqlcipher_shell PRIVATE -w)
    target_link_libraries(bundled_sqlcipher_shell PRIVATE bundled_sqlcipher)
else()
    message(STATUS "Bundled SQLCipher: no ${_car_shell_source}, so no "
        "bundled_sqlcipher_shell (fetch_deps.sh makes it when tclsh is installed)")
endif()
