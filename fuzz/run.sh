#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time on a
# copy of its seed corpus. Exits non-zero when any target finds a fault; the
# inputs that trigger it are kept in build-fuzz/findings/.
#
#   fuzz/run.sh [SECONDS]     (default 60 per target)
#
# Installs clang, its libFuzzer runtime and cmake when they are missing.
set -euo pipefail

seconds=${1:-60}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$repo/build-fuzz
findings=$build/findings
targets=(engine_fuzz script_fuzz)

say() { echo "fuzz: $*" >&2; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
install() {
    say "installing $*"
    $sudo apt-get install -y -qq "$@" >/dev/null ||
        { $sudo apt-get update -qq >/dev/null && $sudo apt-get install -y -qq "$@" >/dev/null; }
}

# --- tools ----------------------------------------------------------------
find_clang() {
    for candidate in clang++-14 clang++; do
        if command -v "$candidate" >/dev/null; then
            echo "$candidate"
            return
        fi
    done
}
command -v cmake >/dev/null || install cmake
cxx=$(find_clang)
[ -n "$cxx" ] || { install clang; cxx=$(find_clang); }
[ -n "$cxx" ] || { say "clang++ is needed"; exit 1; }

links_fuzzer() {
    local probe
    probe=$(mktemp -d)
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' \
        >"$probe/probe.cpp"
    "$cxx" -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null
    local status=$?
    rm -rf "$probe"
    return $status
}
if ! links_fuzzer; then
    version=$("$cxx" -dumpversion | cut -d. -f1)
    install "libclang-rt-$version-dev" || true
    links_fuzzer || { say "$cxx cannot link libFuzzer (package libclang-rt-$version-dev)"; exit 1; }
fi

# --- build ----------------------------------------------------------------
say "building with $cxx in $build"
cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

# --- run ------------------------------------------------------------------
# The corpus grows while fuzzing; it does so in a copy so the checkout stays
# clean. A memory file system keeps the script target's flushes cheap.
parent=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && parent=/dev/shm
work=$(mktemp -d "$parent/tovalise-fuzz-run.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/scratch"
export TOVALISE_FUZZ_DIR=$work/scratch

failed=()
for target in "${targets[@]}"; do
    name=${target%_fuzz}
    corpus=$work/corpus-$name
    artifacts=$work/artifacts-$name
    mkdir "$corpus" "$artifacts"
    cp "$here/corpus/$name/"* "$corpus/"
    say "running $target for ${seconds}s"
    # -timeout makes a hang (a pass waiting on a pipe, say) a finding too.
    if ! "$build/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus"; then
        failed+=("$target")
        mkdir -p "$findings/$name"
        cp "$artifacts/"* "$findings/$name/" 2>/dev/null || true
        say "$target found a fault; inputs kept in $findings/$name"
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    say "failed: ${failed[*]}"
    exit 1
fi
say "no findings"
