#!/bin/sh
# Sets up and ends the wine session the Windows tests run in.
#
#   session.sh start ROOT LOADER [EXE]   fresh prefixes under ROOT, a persistent
#                                        wineserver for each, EXE copied to ROOT
#   session.sh stop ROOT                 ends the wineservers, removes ROOT
#
# LOADER is the wine loader for the programs' width (wine for 32-bit .exe
# files, /usr/lib/wine/wine64 for 64-bit ones). When run as root, a second
# prefix owned by nobody (uid 65534) serves the tests that drop privileges:
# wine refuses a prefix that belongs to another user.
set -eu
command=$1
root=$2
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=/usr/lib/wine/wineserver32

as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$root/nobody" "$@"; }

start_prefix() { # prefix run-as...
    prefix=$1
    shift
    # The first program run fills the prefix (some seconds); with the server
    # kept running, later ones start in milliseconds.
    "$@" env WINEPREFIX="$prefix" WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8 "$loader" cmd /c exit \
        >/dev/null 2>&1 </dev/null || true
    test -d "$prefix/drive_c/windows" || { echo "wine could not set up $prefix" >&2; exit 1; }
    "$@" env WINEPREFIX="$prefix" "$server" -w
    "$@" env WINEPREFIX="$prefix" WINEDEBUG=-all "$server" -p </dev/null >/dev/null 2>&1
    # Its system processes, started now, stay; started by a test, they would
    # keep the test's output open after it ends.
    "$@" env WINEPREFIX="$prefix" WINEDEBUG=-all "$loader" cmd /c exit >/dev/null 2>&1 </dev/null || true
}

stop_prefix() { # prefix run-as...
    prefix=$1
    shift
    [ -d "$prefix" ] && "$@" env WINEPREFIX="$prefix" "$server" -k 2>/dev/null || true
}

case $command in
start)
    loader=$3
    stop_prefix "$root/prefix"
    [ -d "$root/nobody/prefix" ] && stop_prefix "$root/nobody/prefix" as_nobody
    rm -rf "$root"
    mkdir -p "$root"
    chmod 755 "$root"
    loader=$(command -v "$loader")
    printf '%s\n' "$loader" >"$root/loader"
    if [ $# -ge 4 ]; then
        cp "$4" "$root/tovalise.exe"
        chmod 755 "$root/tovalise.exe"
    fi
    start_prefix "$root/prefix"
    if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
        mkdir "$root/nobody"
        chown 65534:65534 "$root/nobody"
        start_prefix "$root/nobody/prefix" as_nobody
    fi
    ;;
stop)
    stop_prefix "$root/prefix"
    [ -d "$root/nobody/prefix" ] && stop_prefix "$root/nobody/prefix" as_nobody
    rm -rf "$root"
    ;;
*)
    echo "usage: session.sh start ROOT LOADER [EXE] | stop ROOT" >&2
    exit 2
    ;;
esac
