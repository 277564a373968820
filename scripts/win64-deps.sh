#!/bin/bash
# Cross-compiles the agent's third-party libraries for 64-bit Windows with
# Debian's mingw-w64 (POSIX threads) into one prefix, from Debian's own
# source packages, so the Windows build uses the same library versions as
# the Linux one and nothing comes from outside Debian's archive.
#
#   scripts/win64-deps.sh     -> prints the prefix as the last line of stdout
#
# The prefix lives in ${WIN64_DEPS_CACHE:-/var/cache/wagent-win64}/<key>/prefix,
# where <key> hashes the source package versions the archive offers, this
# script and the toolchain file; a finished prefix has a stamp file, and a
# run that finds it only prints the path. Run as root (apt).
#
# Layout: include/ (ACE, OpenSSL, curl, SQLite, Boost, YAJL, GoogleTest),
# lib/ (static libraries, ACE's import library, CMake package files),
# bin/ (libACE.dll).
set -euo pipefail
# The whole script is one block, read before it runs.
{

SELF=$(readlink -f "$0")
ROOT=$(cd "$(dirname "$SELF")/.." && pwd)
TOOLCHAIN="$ROOT/cmake/mingw-w64-x86_64.cmake"
CACHE=${WIN64_DEPS_CACHE:-/var/cache/wagent-win64}
JOBS=${WIN64_DEPS_JOBS:-2}
SRC_PACKAGES="ace openssl curl sqlite3 boost1.74 yajl googletest"
HOST=x86_64-w64-mingw32
CC="$HOST-gcc-posix"
CXX="$HOST-g++-posix"
AR="$HOST-ar"
RANLIB="$HOST-ranlib"

say() { echo "win64-deps: $*" >&2; }
die() { say "$*"; exit 1; }

# --- machine setup -----------------------------------------------------------

# apt-get source needs deb-src entries; add them for the Debian archives
# the machine already uses (same URIs, suites and components).
ensure_deb_src() {
    local lists=() f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && lists+=("$f")
    done
    [ ${#lists[@]} -gt 0 ] || die "no apt sources in /etc/apt"
    if grep -hqE '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' "${lists[@]}" 2>/dev/null; then
        return 1
    fi
    local added=1
    local one_line deb822
    one_line=$(grep -hE '^[[:space:]]*deb[[:space:]]' "${lists[@]}" 2>/dev/null \
        | grep -E 'debian' | sed -E 's/^[[:space:]]*deb[[:space:]]/deb-src /' || true)
    deb822=""
    for f in "${lists[@]}"; do
        case "$f" in *.sources) ;; *) continue ;; esac
        deb822+=$(awk '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && uris ~ /debian/) {
                    printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n", uris, suites, comps
                    if (signed != "") printf "Signed-By: %s\n", signed
                    printf "\n"
                }
                types = uris = suites = comps = signed = ""
            }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            {
                key = $1; sub(/:$/, "", key); val = $0; sub(/^[^:]*:[ \t]*/, "", val)
                if (key == "Types") types = val
                else if (key == "URIs") uris = val
                else if (key == "Suites") suites = val
                else if (key == "Components") comps = val
                else if (key == "Signed-By") signed = val
            }
            END { flush() }' "$f")
        deb822+=$'\n'
    done
    if [ -n "$one_line" ]; then
        printf '%s\n' "$one_line" > /etc/apt/sources.list.d/wagent-deb-src.list
        added=0
    fi
    if [ -n "$(printf '%s' "$deb822" | tr -d '[:space:]')" ]; then
        printf '%s' "$deb822" > /etc/apt/sources.list.d/wagent-deb-src.sources
        added=0
    fi
    [ "$added" = 0 ] || die "no Debian archive found in the apt sources"
    say "added deb-src entries for the Debian archive"
    return 0
}

ensure_packages() {
    local updated=$1 missing="" p
    for p in g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
             mingw-w64-tools libz-mingw-w64-dev wine64 tcl dpkg-dev \
             cmake make perl xz-utils; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
            || missing="$missing $p"
    done
    [ -n "$missing" ] || return 0
    say "installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    [ "$updated" = 1 ] || apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing > /dev/null
}

updated=0
if ensure_deb_src; then
    apt-get update -qq
    updated=1
fi
ensure_packages "$updated"

# --- cache key -----------------------------------------------------------------

# The .dsc names apt-get source would fetch name every package version.
dscs=$(apt-get source --print-uris --only-source $SRC_PACKAGES 2>/dev/null \
    | awk "/\\.dsc' /{print \$2}" | sort)
[ "$(printf '%s\n' "$dscs" | grep -c .)" -ge 7 ] \
    || die "apt-get source cannot see all of: $SRC_PACKAGES (deb-src missing?)"
KEY=$( { printf '%s\n' "$dscs"; sha256sum "$SELF" "$TOOLCHAIN" | cut -d' ' -f1; } \
    | sha256sum | cut -c1-16)
WORK="$CACHE/$KEY"
PREFIX="$WORK/prefix"
STAMP="$WORK/stamp"

# One build per key at a time: a second run waits, then finds the stamp.
mkdir -p "$CACHE"
exec 9> "$CACHE/$KEY.lock"
flock 9

if [ -f "$STAMP" ] && [ -f "$PREFIX/versions.txt" ]; then
    say "up to date"
    echo "$PREFIX"
    exit 0
fi

say "building into $PREFIX"
rm -rf "$WORK"
mkdir -p "$CACHE/downloads" "$WORK/src" "$WORK/build" "$WORK/logs" \
    "$PREFIX/include" "$PREFIX/lib" "$PREFIX/bin"
LOGS="$WORK/logs"
SRC="$WORK/src"
BUILD="$WORK/build"

# Runs a step with its output in logs/NAME.log; on failure shows the tail.
step() {
    local name=$1; shift
    local t0=$SECONDS
    say "$name ..."
    # Not under "if": errexit would be off inside the step and a failing
    # command in the middle of it would go unnoticed.
    local rc=0
    set +e
    (set -e; "$@") > "$LOGS/$name.log" 2>&1
    rc=$?
    set -e
    if [ "$rc" != 0 ]; then
        say "$name FAILED; last lines of $LOGS/$name.log:"
        tail -n 40 "$LOGS/$name.log" >&2
        exit 1
    fi
    say "$name done ($((SECONDS - t0))s)"
}

# --- sources -------------------------------------------------------------------

# Newest version first; an older one from the same suite when the archive
# lists a version whose files it no longer serves.
fetch_one() {
    local pkg=$1 v dsc
    cd "$CACHE/downloads"
    for v in $(apt-cache showsrc --only-source "$pkg" | awk '/^Version:/{print $2}' | sort -u -r -V); do
        dsc="${pkg}_${v#*:}.dsc"
        if [ -f "$dsc" ] || apt-get source --only-source --download-only -qq "$pkg=$v"; then
            (cd "$SRC" && dpkg-source -x "$CACHE/downloads/$dsc" "$pkg")
            echo "$pkg $v" >> "$PREFIX/versions.txt"
            return 0
        fi
        echo "version $v not fetchable, trying an older one"
    done
    echo "no version of $pkg could be fetched"
    return 1
}

fetch_sources() {
    local p
    # apt's sandbox user must be able to write there.
    chown _apt "$CACHE/downloads" 2>/dev/null || true
    for p in $SRC_PACKAGES; do
        fetch_one "$p"
    done
}

step fetch fetch_sources

# Compiles the sources given after -- into the static library OUT, JOBS at once.
static_lib() {
    local out=$1 compiler=$2; shift 2
    local flags=()
    while [ "$1" != "--" ]; do flags+=("$1"); shift; done
    shift
    local objdir="$BUILD/obj-$(basename "$out" .a)"
    mkdir -p "$objdir"
    printf '%s\n' "$@" | nice -n 10 xargs -P "$JOBS" -I{} sh -c \
        'o="$0/$(basename "$1").o"; src=$1; shift; echo "$* $src"; exec "$@" -c "$src" -o "$o"' \
        "$objdir" {} "$compiler" "${flags[@]}"
    rm -f "$out"
    "$AR" rcs "$out" "$objdir"/*.o
}

# --- zlib: Debian's libz-mingw-w64-dev, in /usr/x86_64-w64-mingw32 -------------

# --- SQLite: the amalgamation is generated on the host (tclsh) -------------------

build_sqlite() {
    mkdir -p "$BUILD/sqlite"
    cd "$BUILD/sqlite"
    "$SRC/sqlite3/configure" --disable-tcl
    make sqlite3.c sqlite3.h
    static_lib "$PREFIX/lib/libsqlite3.a" "$CC" -O2 -DSQLITE_THREADSAFE=1 \
        -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_UNLOCK_NOTIFY -- "$PWD/sqlite3.c"
    cp sqlite3.h "$SRC/sqlite3/src/sqlite3ext.h" "$PREFIX/include/"
}
step sqlite build_sqlite

# --- Boost: every header, and Boost.Regex compiled into a static library ---------

build_boost() {
    cd "$SRC/boost1.74"
    local d
    for d in libs/*/include/boost libs/numeric/*/include/boost; do
        if [ -d "$d" ]; then cp -r "$d" "$PREFIX/include/"; fi
    done
    [ -f "$PREFIX/include/boost/version.hpp" ]
    static_lib "$PREFIX/lib/libboost_regex.a" "$CXX" -O2 -std=c++17 \
        -I"$PREFIX/include" -DBOOST_REGEX_NO_LIB -Wno-deprecated-declarations -- \
        $(ls libs/regex/src/*.cpp | grep -v '/icu\.cpp$')
}
step boost build_boost

# --- YAJL ----------------------------------------------------------------------------

build_yajl() {
    cd "$SRC/yajl"
    local major minor micro
    major=$(sed -n 's/^SET (YAJL_MAJOR \([0-9]*\))/\1/p' CMakeLists.txt)
    minor=$(sed -n 's/^SET (YAJL_MINOR \([0-9]*\))/\1/p' CMakeLists.txt)
    micro=$(sed -n 's/^SET (YAJL_MICRO \([0-9]*\))/\1/p' CMakeLists.txt)
    mkdir -p "$PREFIX/include/yajl"
    cp src/api/yajl_common.h src/api/yajl_gen.h src/api/yajl_parse.h \
        src/api/yajl_tree.h "$PREFIX/include/yajl/"
    sed -e "s/\${YAJL_MAJOR}/$major/" -e "s/\${YAJL_MINOR}/$minor/" \
        -e "s/\${YAJL_MICRO}/$micro/" src/api/yajl_version.h.cmake \
        > "$PREFIX/include/yajl/yajl_version.h"
    static_lib "$PREFIX/lib/libyajl_s.a" "$CC" -O2 -Isrc -I"$PREFIX/include" -- src/*.c
    cp "$PREFIX/lib/libyajl_s.a" "$PREFIX/lib/libyajl.a"
}
step yajl build_yajl

# --- GoogleTest and GoogleMock --------------------------------------------------------

build_googletest() {
    cmake -S "$SRC/googletest" -B "$BUILD/googletest" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
        -DWIN64_DEPS_PREFIX="$PREFIX" -DCMAKE_INSTALL_PREFIX="$PREFIX" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON \
        -DINSTALL_GTEST=ON -Dgtest_disable_pthreads=OFF
    nice -n 10 cmake --build "$BUILD/googletest" -j"$JOBS"
    cmake --install "$BUILD/googletest"
}
step googletest build_googletest

# --- OpenSSL -------------------------------------------------------------------

build_openssl() {
    cd "$SRC/openssl"
    ./Configure mingw64 no-tests no-shared no-module CC=gcc-posix \
        --cross-compile-prefix="$HOST-" --prefix="$PREFIX" --libdir=lib \
        --openssldir="$PREFIX/ssl"
    nice -n 10 make -j"$JOBS" build_libs
    make install_dev
}
step openssl build_openssl

# --- curl ------------------------------------------------------------------------

# No built-in CA bundle: the host's path means nothing on Windows, so a
# program names its CA file or asks for the Windows store
# (CURLSSLOPT_NATIVE_CA).
build_curl() {
    cmake -S "$SRC/curl" -B "$BUILD/curl" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
        -DWIN64_DEPS_PREFIX="$PREFIX" -DCMAKE_INSTALL_PREFIX="$PREFIX" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF \
        -DBUILD_TESTING=OFF -DCURL_USE_OPENSSL=ON -DOPENSSL_ROOT_DIR="$PREFIX" \
        -DOPENSSL_USE_STATIC_LIBS=ON -DCURL_ZLIB=ON -DCURL_DISABLE_LDAP=ON \
        -DCURL_DISABLE_LDAPS=ON -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF \
        -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF \
        -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DCURL_USE_GSSAPI=OFF -DCURL_USE_LIBPSL=OFF \
        -DUSE_WIN32_LDAP=OFF -DZLIB_USE_STATIC_LIBS=ON -DENABLE_MANUAL=OFF \
        -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none
    nice -n 10 cmake --build "$BUILD/curl" -j"$JOBS"
    cmake --install "$BUILD/curl"
}
step curl build_curl

# --- ACE: its own GNU make build (MPC-generated makefile), as a DLL ---------------------

build_ace() {
    export ACE_ROOT="$SRC/ace" MPC_ROOT="$SRC/ace/MPC"
    cd "$ACE_ROOT"
    # Neither ACE nor its users inline ACE's .inl files: with MinGW, inline
    # members of a dllimport class used before their definition draw
    # warnings in every user; ACE's MinGW make files build this way anyway.
    cat > ace/config.h <<'EOF'
#ifndef ACE_NO_INLINE
#define ACE_NO_INLINE
#endif
#include "ace/config-win32.h"
EOF
    cat > include/makeinclude/platform_macros.GNU <<EOF
CROSS_COMPILE = $HOST-
debug = 0
optimize = 1
inline = 0
shared_libs = 1
static_libs = 0
include \$(ACE_ROOT)/include/makeinclude/platform_mingw32.GNU
CC = $CC
CXX = $CXX
DLD = \$(CXX)
LD = \$(CXX)
OCFLAGS = -O2
OCCFLAGS = -O2
EOF
    (cd ace && perl "$ACE_ROOT/bin/mpc.pl" -type gnuace ace.mpc)
    nice -n 10 make -C ace -j"$JOBS" -f GNUmakefile.ACE INSTALL_PREFIX="$PREFIX"
    make -C ace -f GNUmakefile.ACE install INSTALL_PREFIX="$PREFIX"
    # ACE's install step leaves the import library behind and puts the DLL
    # in lib/; Windows looks for DLLs beside the program or on PATH.
    rm -f "$PREFIX/lib/libACE.dll"
    cp ace/libACE.dll "$PREFIX/bin/"
    cp ace/libACE.dll.a "$PREFIX/lib/"
    cp ace/config.h "$PREFIX/include/ace/"
    # MPC and make templates for building ACE-based projects with ACE's tools.
    rm -rf "$PREFIX/share/ace"
    rmdir "$PREFIX/share" 2>/dev/null || true
}
step ace build_ace

# The compiler's runtime DLLs that libACE.dll and the programs link with,
# so bin/ is all a program needs on its PATH (or WINEPATH).
runtime_dlls() {
    local f
    for f in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
        cp "$("$CXX" -print-file-name="$f")" "$PREFIX/bin/"
    done
    cp /usr/$HOST/lib/zlib1.dll "$PREFIX/bin/"
}
step runtime runtime_dlls

# Sources and objects are ~1 GB; keep them only when asked to.
[ "${WIN64_DEPS_KEEP_BUILD:-0}" = 1 ] || rm -rf "$SRC" "$BUILD"
touch "$STAMP"
say "done"
echo "$PREFIX"
exit 0
}
