#!/usr/bin/env bash
# Fetches, verifies and unpacks the third-party sources that cmake/BundledSqlCipher.cmake
# builds, into a cache outside the source tree:
#   ${CAR_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/compactandrepair-deps}
#
#   sqlcipher-4.14.0/    SQLCipher amalgamation (SQLite 3.51.3), from the npm package
#                        @journeyapps/sqlcipher, which ships it as plain files.
#   sqlite-3.52.0/       SQLite's recovery extension (sqlite3recover.c/.h, dbdata.c),
#                        taken out of the shell.c of SQLite 3.52.0's autoconf tarball,
#                        which the npm package sqlite3 6.0.1 ships. shell.c holds them
#                        inline with their own #include and typedef lines commented
#                        out; those lines are put back, nothing else is changed. (It
#                        runs a schema entry's whole text; the engine vets schema text
#                        itself before the extension sees it.)
#   sqlite-3.46.1-shell/ shell.c, made from the sqlite3 source of Debian 13 (trixie, a
#                        stable release) with tclsh: the newest shell that only uses API
#                        the 3.51.3 library has (3.52.0's needs sqlite3_str_truncate).
#                        Optional: without tclsh it is left out, and so is the shell.
#
# Why these places: the npm registry never changes a published version, and a stable
# Debian release keeps its sources for years (later revisions carry the same .orig
# tarball, which is what is pinned). Every file used is checked against the sha256
# pinned below, on each run; when all match nothing is fetched. Debian's sources come
# through a private apt configuration under the cache, so the system's apt setup is
# neither used nor changed.
set -euo pipefail

cache=${CAR_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/compactandrepair-deps}

npm_package=@journeyapps/sqlcipher@6.0.0
npm_tarball=journeyapps-sqlcipher-6.0.0.tgz
npm_integrity=sha512-YmWSQIR4cnv+5L38lYJoS/dIF/+bEZBaACATbeTyq4XKjMHcxdIlFnElBLiIqa9rwseOIimIYjudgOOCovud3Q==
npm_sha256=ad3ee0e551de315b230db78e2294d41868b5c166d44c0c87da35fb6b87bde54c

recover_package=sqlite3@6.0.1
recover_tarball=sqlite3-6.0.1.tgz
recover_integrity=sha512-X0czUUMG2tmSqJpEQa3tCuZSHKIx8PwM53vLZzKp/o6Rpy25fiVfjdbnZ988M8+O3ZWR1ih0K255VumCb3MAnQ==
recover_sha256=ab8d044a93e05bd031d7ea75547c7fa60387cdc259d27f93c0e3e2832c4b1df9
recover_autoconf=sqlite-autoconf-3520000
shell_upstream=3.46.1
shell_orig_sha256=d0cdd2ece271b29e7ce18095745d892517ee26d0f270065b3a25c2e9eb11639c

sqlcipher_dir=sqlcipher-4.14.0
recover_dir=sqlite-3.52.0
shell_dir=sqlite-$shell_upstream-shell

# path-in-cache sha256
pinned_files=(
    "$sqlcipher_dir/sqlite3.c 2ba87bbc92caf02c0ac640198c537c24bdda899a18bbba289f3d3f44d56795e4"
    "$sqlcipher_dir/sqlite3.h c7253bc5d2ba0fad5236fc10ed959f99374bdbc224c200250c9c4a90edf56023"
    "$sqlcipher_dir/sqlite3ext.h ea81fb7bd05882e0e0b92c4d60f677b205f7f1fbf085f218b12f0b5b3f0b9e48"
    "$recover_dir/sqlite3recover.c fab2d845310fe53472b19794d4552fa6fd497838caecd24f60cdc44608c91319"
    "$recover_dir/sqlite3recover.h 1ba6f159c4f214c6ef0261aa511f0e07d6df6c220553aabcfb762efc3ca786db"
    "$recover_dir/dbdata.c be2e0c8aeb194c3ca90637a6e24c13abd893fe6fba40070c35ca7207434ec1bb"
)
shell_file="$shell_dir/shell.c bed3cd2ea73b5afa4d43d7db400c66fe2b8127a21e1b6e4b7c96a48e6862165d"

say() { printf 'fetch_deps: %s\n' "$*"; }
die() { printf 'fetch_deps: ERROR: %s\n' "$*" >&2; exit 1; }

sha256_of() { sha256sum "$1" | cut -d' ' -f1; }

# Fails hard on a mismatch: a wrong file in the cache is never built from.
check_sha256() {
    local file=$1 want=$2 got
    [[ -f $file ]] || die "missing $file"
    got=$(sha256_of "$file")
    [[ $got == "$want" ]] || die "checksum mismatch for $file
    expected sha256 $want
    got      sha256 $got
Delete it and run this script again; if it persists, the pinned source changed upstream."
}

# 0 when every listed file is present with its pinned checksum.
all_pinned_present() {
    local entry
    for entry in "$@"; do
        set -- $entry
        [[ -f $cache/$1 && $(sha256_of "$cache/$1") == "$2" ]] || return 1
    done
}

# The Debian mirror the system already uses (first non-security archive), unless
# CAR_DEBIAN_MIRROR names one.
debian_mirror() {
    if [[ -n ${CAR_DEBIAN_MIRROR:-} ]]; then
        echo "$CAR_DEBIAN_MIRROR"
        return
    fi
    {
        sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n' || true
        awk '$1 == "deb" { for (i = 2; i <= NF; ++i) if ($i ~ /^https?:/) { print $i; break } }' \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
    } | grep -E '^https?://' | grep -v -- '-security' | head -n1 || true
}

have_shell_tools() { command -v tclsh >/dev/null; }

# Work folders inside the cache (same file system, so the final mv is atomic), removed
# on any exit so that a failed run leaves no half-unpacked tree behind.
scratch=()
cleanup() { ((${#scratch[@]})) && rm -rf "${scratch[@]}"; true; }
trap cleanup EXIT
# Sets $scratch_path (not run in a subshell, so that cleanup knows of it).
scratch_path=
scratch_dir() {
    scratch_path=$(mktemp -d "$cache/.work.XXXXXX")
    scratch+=("$scratch_path")
}

mkdir -p "$cache/downloads"

# --- npm packages -----------------------------------------------------------------------
# Leaves the verified tarball of an exact npm package version in downloads/.
fetch_npm() {
    local package=$1 tarball=$2 integrity=$3 sha256=$4
    local tgz=$cache/downloads/$tarball
    if [[ ! -f $tgz ]] || [[ $(sha256_of "$tgz") != "$sha256" ]]; then
        command -v npm >/dev/null || die "npm is needed to fetch $package"
        say "fetching $package with npm pack"
        rm -f "$tgz"
        local json
        json=$(cd "$cache/downloads" && npm pack --json --silent "$package")
        grep -q "\"integrity\": \"$integrity\"" <<<"$json" \
            || die "npm reports another integrity for $package than the pinned $integrity"
    fi
    check_sha256 "$tgz" "$sha256"
    # npm checked the registry's integrity; check the file we keep against it as well.
    local sri
    sri="sha512-$(openssl dgst -sha512 -binary "$tgz" | base64 -w0)"
    [[ $sri == "$integrity" ]] || die "checksum mismatch for $tgz: integrity $sri, expected $integrity"
}

fetch_sqlcipher() {
    fetch_npm "$npm_package" "$npm_tarball" "$npm_integrity" "$npm_sha256"
    say "unpacking the SQLCipher amalgamation into $cache/$sqlcipher_dir"
    local tmp
    scratch_dir
    tmp=$scratch_path
    tar -xzf "$cache/downloads/$npm_tarball" -C "$tmp" package/deps/sqlcipher-amalgamation
    rm -rf "${cache:?}/$sqlcipher_dir"
    mv "$tmp/package/deps/sqlcipher-amalgamation" "$cache/$sqlcipher_dir"
}

# The recovery extension's three files, out of the shell.c that holds them inline.
fetch_recover() {
    fetch_npm "$recover_package" "$recover_tarball" "$recover_integrity" "$recover_sha256"
    say "taking the recovery extension out of SQLite 3.52.0's shell.c into $cache/$recover_dir"
    local tmp
    scratch_dir
    tmp=$scratch_path
    tar -xzf "$cache/downloads/$recover_tarball" -C "$tmp" "package/deps/$recover_autoconf.tar.gz"
    tar -xzf "$tmp/package/deps/$recover_autoconf.tar.gz" -C "$tmp" "$recover_autoconf/shell.c"
    mkdir -p "$tmp/out"
    local file
    for file in sqlite3recover.h dbdata.c sqlite3recover.c; do
        awk -v begin="Begin ext/recover/$file " -v end="End ext/recover/$file " \
            'index($0, end) { on = 0 } on { print } index($0, begin) { on = 1 }' \
            "$tmp/$recover_autoconf/shell.c" |
            sed -e 's|^/\* #include "\(.*\)" \*/$|#include "\1"|' \
                -e 's|^/\* typedef \(.*\) \*/$|typedef \1|' >"$tmp/out/$file"
    done
    rm -rf "${cache:?}/$recover_dir"
    mv "$tmp/out" "$cache/$recover_dir"
}

# --- Debian sqlite3 sources through a private apt configuration ----------------------
apt_dir=$cache/apt
apt_opts=()
setup_private_apt() {
    ((${#apt_opts[@]})) && return
    mkdir -p "$apt_dir/state/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/preferences.d"
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    [[ -f $keyring ]] || die "$keyring is missing (package debian-archive-keyring)"
    local mirror
    mirror=$(debian_mirror)
    [[ -n $mirror ]] || die "no Debian mirror found in /etc/apt; set CAR_DEBIAN_MIRROR to one"
    {
        local suite
        for suite in trixie; do
            echo "deb-src [signed-by=$keyring] $mirror $suite main"
        done
    } >"$apt_dir/sources.list"
    apt_opts=(
        -o "Dir::Etc::sourcelist=$apt_dir/sources.list"
        -o "Dir::Etc::sourceparts=-"
        -o "Dir::State=$apt_dir/state"
        -o "Dir::State::status=/var/lib/dpkg/status"
        -o "Dir::Cache=$apt_dir/cache"
        -o "Dir::Etc::preferences=$apt_dir/preferences"
        -o "Dir::Etc::preferencesparts=$apt_dir/preferences.d"
        -o "APT::Sandbox::User=$(id -un)"
    )
    say "updating the private apt source lists in $apt_dir"
    apt-get "${apt_opts[@]}" -qq update || die "apt-get update of the private source lists failed"
}

# Downloads sqlite3's Debian source for an upstream version and leaves its verified
# .orig tarball in downloads/, named in $orig.
orig=
fetch_sqlite_orig() {
    local upstream=$1 want=$2
    orig=$cache/downloads/sqlite3_$upstream.orig.tar.xz
    [[ -f $orig && $(sha256_of "$orig") == "$want" ]] && return
    setup_private_apt
    local version
    version=$(apt-cache "${apt_opts[@]}" showsrc sqlite3 2>/dev/null \
        | sed -n 's/^Version: //p' | grep -F -- "$upstream-" | sort -V | tail -n1 || true)
    [[ -n $version ]] || die "no Debian source of sqlite3 $upstream in trixie.
Set CAR_DEBIAN_MIRROR to a mirror that carries Debian 13, or to archive.debian.org once
Debian 13 has moved there."
    say "downloading Debian source sqlite3 $version"
    local work
    scratch_dir
    work=$scratch_path
    (cd "$work" && apt-get "${apt_opts[@]}" -qq source --download-only "sqlite3=$version") \
        || die "apt-get source sqlite3=$version failed"
    mv "$work/sqlite3_$upstream.orig.tar.xz" "$orig"
    check_sha256 "$orig" "$want"
}

fetch_shell() {
    local top
    fetch_sqlite_orig "$shell_upstream" "$shell_orig_sha256"
    top=sqlite3-$shell_upstream
    say "making shell.c for SQLite $shell_upstream in $cache/$shell_dir"
    local tmp
    scratch_dir
    tmp=$scratch_path
    # mkshellc.tcl inlines files from these folders.
    tar -xJf "$orig" -C "$tmp" "$top/src" "$top/tool/mkshellc.tcl" "$top/ext"
    (cd "$tmp/$top" && tclsh tool/mkshellc.tcl >shell.c)
    rm -rf "${cache:?}/$shell_dir"
    mkdir -p "$cache/$shell_dir"
    mv "$tmp/$top/shell.c" "$cache/$shell_dir/"
}

# --- main -----------------------------------------------------------------------------
all_pinned_present "${pinned_files[@]:0:3}" || fetch_sqlcipher
all_pinned_present "${pinned_files[@]:3:3}" || fetch_recover
if all_pinned_present "$shell_file"; then
    :
elif have_shell_tools; then
    fetch_shell
else
    say "tclsh not found (package tcl): skipping the SQLite shell; the library does not need it"
fi

# The source lists are refetched whenever they are needed again; they are most of the
# cache's size otherwise.
rm -rf "$apt_dir"

for entry in "${pinned_files[@]}"; do
    set -- $entry
    check_sha256 "$cache/$1" "$2"
done
if [[ -e $cache/${shell_file%% *} ]]; then
    check_sha256 "$cache/${shell_file%% *}" "${shell_file##* }"
fi
say "verified: SQLCipher 4.14.0 (SQLite 3.51.3), recovery extension 3.52.0$(
    [[ -e $cache/${shell_file%% *} ]] && echo ", shell $shell_upstream") in $cache"
