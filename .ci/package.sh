#!/usr/bin/env bash
# Release checks, as root on a Debian machine: the man page, a default build
# and its install rules, the Debian package (lintian, reproducible bytes,
# install, a run of the installed tool, the man page found, removal leaving
# nothing) and, where the tree has the Windows cross build, the Windows zip
# run under wine. Each check fails the script with a line saying why.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

fail() {
    echo "package check failed: $*" >&2
    exit 1
}

need_packages() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qx installed ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null ||
        { apt-get update >/dev/null && apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null; }
}

need_packages cmake g++ make git mandoc man-db lintian dpkg-dev file gzip perl
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Builds the tool from `$1` in `$2`, as a user who wants only the tool would:
# a default configure, with GoogleTest hidden even where it is installed.
build_default() {
    cmake -S "$1" -B "$2" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null
    grep -qx 'TOVALISE_TESTS:BOOL=OFF' "$2/CMakeCache.txt" ||
        fail "a default configure without GoogleTest turned the tests on"
    cmake --build "$2" -j2 >/dev/null
}

echo "=== default build without GoogleTest"
build=$source_dir/build-package
rm -rf "$build"
build_default "$source_dir" "$build"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in the CMake cache"
expected_credit="Tovalise $version - replaces literal text in files, in place"

echo "=== man page"
page=$build/tovalise.1
# Two notes are expected and harmless: the footer names this package and its
# version (as a page from outside a BSD base system should), and Debian keeps
# no mandoc.db for the cross-reference check.
lint=$(mandoc -Tlint "$page" 2>&1 |
    grep -v -e 'STYLE: operating system explicitly specified: Os Tovalise' \
        -e 'outdated mandoc.db lacks' || true)
[ -z "$lint" ] || fail "mandoc -Tlint:"$'\n'"$lint"
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" >"$scratch/page.txt" 2>"$scratch/page.err"
[ ! -s "$scratch/page.err" ] || fail "man reports: $(cat "$scratch/page.err")"
width=$(LC_ALL=C.UTF-8 wc -L <"$scratch/page.txt")
[ "$width" -le 80 ] || fail "the man page has lines of $width columns in an 80-column terminal"
grep -q "Tovalise $version" "$scratch/page.txt" || fail "the man page does not carry version $version"

# Every fixed part of every message the tool prints, and every line of its
# usage text, must be in the man page and both READMEs verbatim.
perl -0777 -ne '
    while (/print_line\(\{(.*?)\}\);/sg) {
        my $call = $1;
        while ($call =~ /"((?:[^"\\]|\\.)*)"/g) {
            (my $part = $1) =~ s/\\"/"/g;
            $part =~ s/^\s+|\s+$//g;
            print "$part\n" if length $part > 1;
        }
    }
    # The usage text: the lines after the banner (a rule, the credit line,
    # the rule again).
    if (/usage_text\[\] =(.*?);/s) {
        my @lines = $1 =~ /"([^"]*)\\n"/g;
        my $rules = 0;
        for (@lines) {
            if (/^\*{74}$/) { $rules++; next }
            print s/\s+$//r, "\n" if $rules == 2;
        }
    }
' src/*.cpp >"$scratch/messages"
[ "$(grep -c . "$scratch/messages")" -ge 15 ] || fail "could not find the messages in src/"
for doc in "$scratch/page.txt" packaging/README-windows.txt README.md; do
    # A text may be wrapped: a line end and the indent around it count as one blank.
    flat=$(perl -0777 -pe 's/[ \t]*\n[ \t]*/ /g' "$doc")
    while IFS= read -r part; do
        [[ "$flat" == *"$part"* ]] || fail "$(basename "$doc") lacks the message text: $part"
    done <"$scratch/messages"
done

echo "=== README"
# The banner and usage text the README shows are what the tool prints.
sed -n '/^\*\{74\}$/,/^```$/p' README.md | sed '$d' >"$scratch/readme-usage"
status=0
"$build/tovalise" >"$scratch/usage" || status=$?
[ "$status" -eq 1 ] || fail "the usage text came with status $status"
diff -u "$scratch/readme-usage" "$scratch/usage" || fail "README.md shows another usage text than the tool prints"
# The README's first command, as it stands, run in a copy of the tree.
try_command='$(command -v sudo) apt-get update && $(command -v sudo) apt-get install -y cmake g++ && cmake -S . -B build -DTOVALISE_TESTS=OFF && cmake --build build -j2 && tool="$PWD/build/tovalise" && scratch=$(mktemp -d) && cp example/* "$scratch" && (cd "$scratch" && "$tool" script.txt && cat notes.txt) && rm -rf "$scratch"'
grep -qF -- "$try_command" README.md || fail "README.md no longer shows the command this check runs"
mkdir "$scratch/try-readme"
git ls-files -z --cached --others --exclude-standard | tar --null -T - -c | tar -x -C "$scratch/try-readme"
try_status=0
(cd "$scratch/try-readme" && bash -c "$try_command") >"$scratch/try-log" 2>&1 || try_status=$?
[ "$try_status" -eq 0 ] || { tail -n 20 "$scratch/try-log"; fail "the README's first command failed"; }
tail -n "$(grep -c '' example/notes.txt)" "$scratch/try-log" >"$scratch/try-output"
sed 's/colour/color/g; s/EUR/euros/g' example/notes.txt | diff -u - "$scratch/try-output" ||
    fail "the README's first command did not show the rewritten notes"

echo "=== install rules"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
(cd "$scratch/prefix" && find . ! -type d | sort) >"$scratch/installed"
diff -u - "$scratch/installed" <<'EOF' || fail "cmake --install installs other files than these"
./bin/tovalise
./share/doc/tovalise/LICENSE
./share/doc/tovalise/README.md
./share/doc/tovalise/example/notes.txt
./share/doc/tovalise/example/script.txt
./share/man/man1/tovalise.1
EOF

echo "=== Debian package"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$build/tovalise_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "cpack made no $(basename "$deb")"
lintian_status=0
lintian --fail-on error,warning --display-info "$deb" >"$scratch/lintian" 2>&1 || lintian_status=$?
grep -v 'running with root privileges' "$scratch/lintian" || true
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors or warnings"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package version is not $version"

echo "=== reproducible package"
# Two more builds from copies of the tree at other paths, dated from the
# commit as the one above was. The first must give the same bytes. The second
# runs with a strict umask, which must not reach the files in the package;
# CPack gives the members of the outer archive the modes of its own files,
# so there only the two inner archives are compared.
epoch=$(git log -1 --format=%ct)
saved_umask=$(umask)
for copy in first second; do
    [ "$copy" = first ] || umask 077
    mkdir -p "$scratch/$copy/tovalise"
    git ls-files -z --cached --others --exclude-standard |
        tar --null -T - -c | tar -x -C "$scratch/$copy/tovalise"
    build_default "$scratch/$copy/tovalise" "$scratch/$copy/build"
    (cd "$scratch/$copy/build" && SOURCE_DATE_EPOCH=$epoch cpack -G DEB >/dev/null)
    umask "$saved_umask"
    other=$scratch/$copy/build/$(basename "$deb")
    if [ "$copy" = first ]; then
        cmp "$deb" "$other" || fail "a second build of the package differs; compare the two with diffoscope"
    else
        cmp <(dpkg-deb --fsys-tarfile "$deb") <(dpkg-deb --fsys-tarfile "$other") ||
            fail "the files of the package depend on the umask of the build"
        cmp <(dpkg-deb --ctrl-tarfile "$deb") <(dpkg-deb --ctrl-tarfile "$other") ||
            fail "the control files of the package depend on the umask of the build"
    fi
done

echo "=== package installed, run, removed"
if dpkg-query -W -f='${db:Status-Status}' tovalise 2>/dev/null | grep -qx installed; then
    fail "tovalise is installed already; remove it (dpkg -r tovalise) before this check"
fi
dpkg -i "$deb" >/dev/null
dpkg-query -L tovalise >"$scratch/owned"
[ "$(command -v tovalise)" = /usr/bin/tovalise ] || fail "tovalise is not on the PATH as /usr/bin/tovalise"
[ "$(tovalise | sed -n 2p)" = "$expected_credit" ] || fail "the installed banner is not: $expected_credit"
mkdir "$scratch/try"
cp /usr/share/doc/tovalise/example/* "$scratch/try"
output=$(cd "$scratch/try" && tovalise script.txt) || fail "the example script failed: $output"
[ -z "$output" ] || fail "the example script printed: $output"
sed 's/colour/color/g; s/EUR/euros/g' example/notes.txt | cmp - "$scratch/try/notes.txt" ||
    fail "the example script did not give the expected notes.txt"
[ "$(man -w tovalise)" = /usr/share/man/man1/tovalise.1.gz ] || fail "man -w tovalise: $(man -w tovalise 2>&1)"
man tovalise 2>/dev/null | grep -q "replace literal text in files, in place" ||
    fail "man tovalise does not show the page"

dpkg -r tovalise >/dev/null
if dpkg-query -W -f='${db:Status-Status}' tovalise 2>/dev/null | grep -qvx not-installed; then
    fail "dpkg -r tovalise left the package in state $(dpkg-query -W -f='${db:Status-Status}' tovalise)"
fi
while IFS= read -r path; do
    [ -e "$path" ] || [ -L "$path" ] || continue
    # A directory shared with other packages stays; anything else must go.
    [ -d "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1 && continue
    fail "dpkg -r tovalise left $path"
done <"$scratch/owned"

echo "=== Windows zip"
toolchain=cmake/mingw-i686.cmake
if [ ! -f "$toolchain" ] || [ ! -f src/platform_win32.cpp ]; then
    echo "skipped: this tree has no Windows cross build ($toolchain and src/platform_win32.cpp)"
    exit 0
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    apt-get update >/dev/null
fi
need_packages g++-mingw-w64-i686 wine wine32 wine64 unzip
win_build=$source_dir/build-win32-package
rm -rf "$win_build" "$win_build-64"
cmake -S . -B "$win_build" -DCMAKE_TOOLCHAIN_FILE="$source_dir/$toolchain" -DTOVALISE_TESTS=OFF >/dev/null
cmake --build "$win_build" -j2 >/dev/null
(cd "$win_build" && cpack -G ZIP >/dev/null)
zip=$win_build/tovalise-$version-win32.zip
[ -f "$zip" ] || fail "cpack made no $(basename "$zip")"
top=tovalise-$version-win32
unzip -Z1 "$zip" | grep -v '/$' | sort >"$scratch/zipped"
diff -u - "$scratch/zipped" <<EOF || fail "the zip holds other files than these"
$top/LICENSE.txt
$top/README.txt
$top/example/notes.txt
$top/example/script.txt
$top/tovalise.exe
EOF
mkdir "$scratch/unzipped"
unzip -q "$zip" -d "$scratch/unzipped"
for text in README.txt LICENSE.txt; do
    # Every line feed must follow a carriage return.
    perl -ne 'exit 1 if /(?<!\r)\n/' "$scratch/unzipped/$top/$text" ||
        fail "$text in the zip has lines without CR LF"
done
exe=$scratch/unzipped/$top/tovalise.exe
file -b "$exe" | grep -q '^PE32 executable (console) Intel 80386' ||
    fail "the zip's tovalise.exe is not a 32-bit Windows console program: $(file -b "$exe")"
loader=wine
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    # wine32 needs a kernel that runs 32-bit programs. Without one, the
    # example runs with a 64-bit build of the same sources instead.
    echo "this kernel runs no 32-bit programs, so wine32 cannot start the zip's tovalise.exe:"
    echo "the example runs with a 64-bit build of the same sources under wine64"
    need_packages g++-mingw-w64-x86-64
    cmake -S . -B "$win_build-64" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-x86_64.cmake" \
        -DTOVALISE_TESTS=OFF >/dev/null
    cmake --build "$win_build-64" -j2 >/dev/null
    exe=$win_build-64/tovalise.exe
    loader=/usr/lib/wine/wine64
fi
mkdir "$scratch/wine-try"
cp "$scratch/unzipped/$top/example/"* "$scratch/wine-try"
export WINEPREFIX=$scratch/wine-prefix WINEDEBUG=-all
output=$(cd "$scratch/wine-try" && "$loader" "$exe" script.txt 2>"$scratch/wine.err") ||
    fail "the example script failed under wine: $output $(tail -n 3 "$scratch/wine.err")"
[ -z "$output" ] || fail "the example script printed under wine: $output"
sed 's/colour/color/g; s/EUR/euros/g' example/notes.txt | cmp - "$scratch/wine-try/notes.txt" ||
    fail "the example script under wine did not give the expected notes.txt"
wineserver -k 2>/dev/null || true
