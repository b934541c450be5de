#!/usr/bin/env bash
# Builds the release binary and times whole processes against the usual
# alternatives and the physical limits, on data generated afresh in a
# temporary folder. Prints one table.
#
#   bench/run.sh [--scale F | --quick] [--runs N] [--dir PARENT] [--build DIR]
#
# --scale F  multiplies the sizes (file sizes, number of small files) by F
# --quick    the same as --scale 0.05 --runs 3
# --runs N   timed runs per command (default 5), after one warm-up run
# --dir P    where the temporary data folder is made (default: $TMPDIR or
#            /tmp); it must be on a real disk for the flushes to mean anything
# --build D  build folder (default: build-bench in the checkout, git-ignored)
set -euo pipefail

scale=1
runs=5
parent=${TMPDIR:-/tmp}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$repo/build-bench

while [ $# -gt 0 ]; do
    case $1 in
    --scale) scale=$2; shift 2 ;;
    --quick) scale=0.05; runs=3; shift ;;
    --runs) runs=$2; shift 2 ;;
    --dir) parent=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown argument: $1 (try --help)" >&2; exit 2 ;;
    esac
done

say() { echo "bench: $*" >&2; }

# --- tools ----------------------------------------------------------------
missing=()
command -v hyperfine >/dev/null || missing+=(hyperfine)
command -v sd >/dev/null || missing+=(sd)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    say "installing ${missing[*]}"
    $sudo apt-get install -y -qq "${missing[@]}" >/dev/null ||
        { $sudo apt-get update -qq >/dev/null && $sudo apt-get install -y -qq "${missing[@]}" >/dev/null; } ||
        say "could not install all of: ${missing[*]}"
fi
command -v hyperfine >/dev/null || { say "hyperfine is needed"; exit 1; }
[ -x /usr/bin/time ] || { say "/usr/bin/time is needed"; exit 1; }
have_sd=0
command -v sd >/dev/null && have_sd=1

# --- build ----------------------------------------------------------------
say "building the release binary in $build"
version=$(git -C "$repo" describe --always --dirty 2>/dev/null || echo unknown)
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOVALISE_TESTS=OFF >/dev/null
cmake --build "$build" --target tovalise -j "$(nproc)" >/dev/null
tovalise=$build/tovalise
results=$build/bench-results
rm -rf "$results"
mkdir -p "$results"

# --- data -----------------------------------------------------------------
work=$(mktemp -d "$parent/tovalise-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ "$(stat -f -c %T "$work")" = tmpfs ]; then
    say "warning: $work is on tmpfs, where a flush costs nothing; use --dir"
fi
mkdir "$work/data" "$work/run"
mib=$((1 << 20))
text_bytes=$(python3 -c "print(max(1 << 20, int(256 * $mib * $scale)))")
line_bytes=$(python3 -c "print(max(1 << 20, int(128 * $mib * $scale)))")
files=$(python3 -c "print(max(10, int(1000 * $scale)))")
say "generating data in $work"
python3 "$here/make_data.py" "$work/data" --text-bytes "$text_bytes" --line-bytes "$line_bytes" \
    --files "$files"
sync -f "$work/data"

in=$work/run/in.txt
out=$work/run/out.txt
many=$work/run/many
script=$work/run/many.script
for ((i = 0; i < files; i++)); do
    printf '!file %s/f%04d.txt\n!source qxz\n!dest QXZ\n!do\n' "$many" "$i"
done >"$script"

size_of() { python3 -c "import sys; print('%.0f MB' % (int(sys.argv[1]) / 1e6))" "$1"; }

# Literal text for sed's pattern and replacement, and perl's replacement.
sed_pattern() { printf '%s' "$1" | sed 's/[][\/.*^$]/\\&/g'; }
sed_replacement() { printf '%s' "$1" | sed 's/[\/&]/\\&/g'; }
perl_replacement() { printf '%s' "$1" | sed 's/[\/$@]/\\&/g'; }

listing=$results/workloads.tsv
: >"$listing"

# Puts a fresh copy of `source` at the path the commands work on, flushed so
# that no write-back of it is left for the timed run.
prepare_file() { echo "rm -f '$in' '$out' '$in.tmp' && cp '$1' '$in' && sync '$in'"; }
prepare_many() { echo "rm -rf '$many' && cp -r '$work/data/many' '$many' && sync -f '$many'"; }

# Tovalise's peak memory on a fresh copy, in KiB; leaves its output in place.
peak_of() {
    eval "$1"
    /usr/bin/time -f %M -o "$work/peak" "${@:2}" >/dev/null
    cat "$work/peak"
}

# name source search replacement limit-command bound
file_workload() {
    local name=$1 source=$2 search=$3 replacement=$4 limit=$5 bound=$6
    local prepare json peak check
    prepare=$(prepare_file "$source")
    json=$results/${name// /-}.json
    peak=$(peak_of "$prepare" "$tovalise" "$in" "$search" "$replacement")
    cp "$in" "$work/tovalise-output"
    eval "$prepare"
    sed -i "s/$(sed_pattern "$search")/$(sed_replacement "$replacement")/g" "$in"
    check=same-as-sed
    cmp -s "$in" "$work/tovalise-output" || check=DIFFERS-FROM-SED
    rm -f "$work/tovalise-output"

    local commands=(
        -n tovalise "'$tovalise' '$in' '$search' '$replacement'"
        -n "dd durable" "dd if='$in' of='$out' bs=256K conv=fdatasync status=none"
        -n "cat read" "cat '$in' >/dev/null"
        -n "sed -i" "sed -i 's/$(sed_pattern "$search")/$(sed_replacement "$replacement")/g' '$in'"
        -n "perl -pi" "perl -pi -e 's/\\Q$search\\E/$(perl_replacement "$replacement")/g' '$in'"
    )
    [ $have_sd -eq 1 ] && commands+=(-n "sd -s" "sd -s '$search' '$replacement' '$in'")
    say "timing $name ($(size_of "$(stat -c %s "$source")"))"
    hyperfine --style basic --runs "$runs" --warmup 1 --prepare "$prepare" \
        --export-json "$json" "${commands[@]}" >>"$results/hyperfine.log" 2>&1 ||
        { tail -30 "$results/hyperfine.log" >&2; exit 1; }
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$(size_of "$(stat -c %s "$source")")" \
        "$json" "$peak" "$limit" "$bound" "$check" >>"$listing"
}

many_workload() {
    local prepare json peak check files_glob="'$many'/*.txt"
    prepare=$(prepare_many)
    json=$results/many-files.json
    peak=$(peak_of "$prepare" "$tovalise" "$script")
    mv "$many" "$work/tovalise-output"
    eval "$prepare"
    sed -i 's/qxz/QXZ/g' "$many"/*.txt
    check=same-as-sed
    diff -rq "$many" "$work/tovalise-output" >/dev/null || check=DIFFERS-FROM-SED
    rm -rf "$work/tovalise-output"

    local commands=(
        -n tovalise "'$tovalise' '$script'"
        -n "dd durable" "for f in $files_glob; do dd if=\"\$f\" of=\"\$f.out\" bs=256K conv=fdatasync status=none; done"
        -n "cat read" "cat $files_glob >/dev/null"
        -n "sed -i" "sed -i 's/qxz/QXZ/g' $files_glob"
        -n "perl -pi" "perl -pi -e 's/\\Qqxz\\E/QXZ/g' $files_glob"
    )
    [ $have_sd -eq 1 ] && commands+=(-n "sd -s" "sd -s qxz QXZ $files_glob")
    say "timing many files ($files files of 4 KiB, one script of $files passes)"
    hyperfine --style basic --runs "$runs" --warmup 1 --prepare "$prepare" \
        --export-json "$json" "${commands[@]}" >>"$results/hyperfine.log" 2>&1 ||
        { tail -30 "$results/hyperfine.log" >&2; exit 1; }
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "many files" "$files x 4 KiB" "$json" "$peak" \
        "sed -i" 1.0 "$check" >>"$listing"
}

text=$work/data/text.txt
file_workload dense "$text" qxz QXZ "dd durable" 1.3
file_workload none "$text" qvw QVW "cat read" 1.5
file_workload sparse "$text" qjk QJK "dd durable" 1.3
file_workload "one line" "$work/data/line.txt" qxz QXZ "dd durable" 1.3
many_workload
file_workload growth "$text" qxz QXZ-QXZ-QXZ- "dd durable" 1.5

# Memory only: a small file must cost what a large one does.
small_peak=$(peak_of "$(prepare_file "$work/data/small.txt")" "$tovalise" "$in" qxz QXZ)
printf '%s\t%s\t\t%s\t\t\t-\n' "dense, small" "$(size_of "$(stat -c %s "$work/data/small.txt")")" \
    "$small_peak" >>"$listing"

echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores," \
    "$(uname -sr), data on $(df --output=fstype "$work" | tail -1) ($(df --output=source "$work" | tail -1))"
echo "Tovalise $version, $runs runs" \
    "per command after one warm-up, input copied afresh and flushed before each run"
echo
python3 "$here/report.py" "$listing"
echo "JSON exports and the hyperfine log: $results"
