#!/usr/bin/env bash
# Runs the built binary under memcheck on a few end-to-end cases; any error
# memcheck reports fails the stage.
set -euo pipefail
tool=$(realpath "${1:?usage: valgrind.sh path/to/tovalise}")
examples=$(realpath "$(dirname "$0")/../example")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

check() {
    local expected=$1
    shift
    local status=0
    valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
        "$tool" "$@" >/dev/null || status=$?
    if [ "$status" != "$expected" ]; then
        echo "memcheck case failed (status $status, expected $expected): $*" >&2
        exit 1
    fi
}

cp "$examples"/* .
printf 'a foo\r\nfoo foo\nlast foo' > direct.txt
head -c 3000000 /dev/zero | tr '\0' 'x' > long.txt
printf 'xyx\n' >> long.txt

check 0 script.txt
check 0 direct.txt foo barbaz
check 0 direct.txt absent anything
check 0 long.txt xy Q
check 1 missing.txt foo bar
check 1 direct.txt "" bar
check 1
check 1 no-such-script.txt
printf '!file direct.txt\n!source bar\n\n!dest X\n!do\n!file missing\n!do\n' > failing.txt
check 1 failing.txt
echo "memcheck: all cases clean"
