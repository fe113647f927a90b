#!/usr/bin/env bash
# Measures the whole repair run against doing the same by hand, how long each
# step of the engine takes, the backup copy against cp (with and without
# fsync), the engine against this machine's floor for it (every page read,
# decrypted, encrypted again and written once), peak memory and growth with
# size, and prints whether each target holds.
#
#   bench/run_benchmark.sh [BUILD_DIR] [--sizes 64M,256M,1G] [--repeat N]
#                          [--scratch DIR] [--steps] [--keep]
#
# BUILD_DIR (default: build-bench in the checkout) is configured as a Release
# build if it holds none yet; only the programs the benchmark runs are built.
# Each timing is taken N times (default 3) on a fresh copy of the same input
# and the median is reported. The engine's steps are timed by
# bench/compact_steps, which runs the compaction alone on the same input, and
# the floor by bench/page_floor. --steps adds one traced run per size that
# shows how long each step of the whole run takes, as the window sees it.
# --keep leaves the scratch folder.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$root/build-bench
sizes=64M,256M,1G
repeat=3
scratch_parent=${TMPDIR:-/tmp}
steps=false
keep=false

usage() {
    sed -n '8,9p' "$0" | sed 's/^# *//' >&2
    exit 2
}

while (($#)); do
    case $1 in
        --sizes) (($# > 1)) || usage; sizes=$2; shift 2 ;;
        --repeat) (($# > 1)) || usage; repeat=$2; shift 2 ;;
        --scratch) (($# > 1)) || usage; scratch_parent=$2; shift 2 ;;
        --steps) steps=true; shift ;;
        --keep) keep=true; shift ;;
        -h | --help) usage ;;
        -*) usage ;;
        *) build_dir=$(realpath -m "$1"); shift ;;
    esac
done
[[ $repeat =~ ^[1-9][0-9]*$ ]] || usage

readonly code=BENCH1
readonly session=2024
readonly database_path="DATA-TINJARA-SM\$/DataSesi$session-SM-$code/TinjaraSM$session.tnjra"

for tool in sqlcipher /usr/bin/time cmake ninja; do
    command -v "$tool" >/dev/null || {
        echo "run_benchmark: $tool is missing; run scripts/setup.sh" >&2
        exit 1
    }
done

# --- build ---------------------------------------------------------------
if [[ ! -f $build_dir/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build_dir/CMakeCache.txt")
[[ $build_type == Release ]] ||
    echo "run_benchmark: warning: $build_dir is a '$build_type' build, not Release" >&2
build_log=$(cmake --build "$build_dir" --target make_sample_data headless_run backup_copy compact_steps page_floor 2>&1) ||
    { printf 'run_benchmark: the build failed:\n%s\n' "$build_log" | tail -n 30 >&2; exit 1; }
make_sample_data=$build_dir/tools/make_sample_data
headless_run=$build_dir/tools/headless_run
password=$("$make_sample_data" --print-password)
readonly password
backup_copy=$build_dir/bench/backup_copy
compact_steps=$build_dir/bench/compact_steps
page_floor=$build_dir/bench/page_floor
readonly step_names=(image source_check source_check_wait copy copy_check sync whole)

mkdir -p "$scratch_parent"
scratch=$(mktemp -d "$scratch_parent/car-bench.XXXXXX")
if $keep; then
    trap 'echo "scratch folder kept: $scratch"' EXIT
else
    trap 'rm -rf "$scratch"' EXIT
fi

# --- helpers -------------------------------------------------------------
# Microseconds since the epoch: ${EPOCHREALTIME/./}, without starting a process.
seconds_since() { awk -v a="$1" -v b="${EPOCHREALTIME/./}" 'BEGIN { printf "%.3f", (b - a) / 1e6 }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", v[int((NR + 1) / 2)] }'; }
spread() {  # (max - min) / median, in percent
    printf '%s\n' "$@" | sort -g |
        awk '{ v[NR] = $1 } END { m = v[int((NR + 1) / 2)]; printf "%.0f", (m > 0) ? 100 * (v[NR] - v[1]) / m : 0 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }
per_gib() { awk -v t="$1" -v s="$2" 'BEGIN { printf "%.2f", t / (s / 1073741824) }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
fail() {
    echo "run_benchmark: $*" >&2
    exit 1
}

# Both sides start alike: no dirty data of an earlier step still being
# written back, and the input once read, so warm in the page cache.
settle() {
    sync
    cat "$1" >/dev/null
}

# A fresh copy of the laid-out drive root, so every timing starts from the
# same input.
fresh_copy() {
    rm -rf "$2"
    cp -a "$1" "$2"
}

sql() {  # sql DATABASE STATEMENT...: runs them keyed, prints the results
    local database=$1
    shift
    printf '%s\n' "PRAGMA key='$password';" "$@" | sqlcipher -bail "$database"
}

# Row counts of every table and the header values the product reads; equal
# before and after when no data was lost.
content_summary() {
    local database=$1 table statements=()
    while IFS= read -r table; do
        statements+=("SELECT '$table', count(*) FROM \"$table\";")
    done < <(sql "$database" "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name;")
    sql "$database" "${statements[@]}" "PRAGMA user_version;"
}

hand_sql=$scratch/by-hand.sql

# --- one size ------------------------------------------------------------
declare -A result
results_sizes=()

bench_size() {
    local size=$1
    local master=$scratch/master-$size
    echo "== $size: making the sample database (half its pages free)"
    "$make_sample_data" --root "$master" --session "$session" --code "$code" \
        --size "$size" --free 0.5 >/dev/null || fail "make_sample_data failed for $size"
    local input=$master/$database_path
    local bytes_before
    bytes_before=$(stat -c %s "$input")
    local expected
    expected=$(content_summary "$input")

    local run_times=() run_rss=() hand_times=() hand_rss=() copy_times=() cp_times=() cps_times=()
    local floor_times=()
    local run_bytes=0 hand_bytes=0 r start name
    local -A step_times=()
    for ((r = 1; r <= repeat; r++)); do
        # The whole repair run.
        local drive=$scratch/run
        fresh_copy "$master" "$drive"
        settle "$drive/$database_path"
        start=${EPOCHREALTIME/./}
        /usr/bin/time -f %M -o "$scratch/rss" \
            "$headless_run" --drive-root "$drive" --code "$code" >"$scratch/run.out" 2>&1 || true
        run_times+=("$(seconds_since "$start")")
        run_rss+=("$(tail -n 1 "$scratch/rss")")
        grep -qx 'outcome: RepairSucceeded' "$scratch/run.out" ||
            fail "$size: the run did not succeed:$(printf '\n%s' "$(cat "$scratch/run.out")")"
        run_bytes=$(stat -c %s "$drive/$database_path")
        if ((r == 1)); then
            local got
            got=$(content_summary "$drive/$database_path")
            [[ $got == "$expected" ]] ||
                fail "$size: the repaired database's content differs:$(diff <(echo "$expected") <(echo "$got"))"
            [[ $(sql "$drive/$database_path" "PRAGMA integrity_check;") == ok ]] ||
                fail "$size: the repaired database fails its integrity check"
        fi
        rm -rf "$drive"

        # The engine alone, each of its steps timed.
        rm -f "$scratch/steps.db"
        settle "$input"
        "$compact_steps" "$input" "$scratch/steps.db" "$password" >"$scratch/steps.out" ||
            fail "$size: compact_steps failed"
        for name in "${step_names[@]}"; do
            step_times[$name]+=" $(sed -n "s/^$name: //p" "$scratch/steps.out")"
        done
        rm -f "$scratch/steps.db" "$scratch/steps.db.ldb"

        # The floor under the engine: every page read, decrypted, encrypted
        # again and written once, synced.
        rm -f "$scratch/floor.db"
        settle "$input"
        floor_times+=("$("$page_floor" "$input" "$scratch/floor.db" "$password" |
            sed -n 's/^floor_seconds: //p')")
        [[ -n ${floor_times[-1]} ]] || fail "$size: page_floor failed"
        rm -f "$scratch/floor.db"

        # The same by hand: back up, export into a new file, swap it in.
        drive=$scratch/hand
        fresh_copy "$master" "$drive"
        local db=$drive/$database_path
        printf '%s\n' "PRAGMA key='$password';" \
            "ATTACH DATABASE '$db.new' AS compacted KEY '$password';" \
            "SELECT sqlcipher_export('compacted');" "DETACH DATABASE compacted;" >"$hand_sql"
        settle "$db"
        start=${EPOCHREALTIME/./}
        cp --reflink=auto "$db" "$db.backup"
        /usr/bin/time -f %M -o "$scratch/rss" sqlcipher -bail "$db" <"$hand_sql" >/dev/null
        mv "$db.new" "$db"
        hand_times+=("$(seconds_since "$start")")
        hand_rss+=("$(tail -n 1 "$scratch/rss")")
        hand_bytes=$(stat -c %s "$db")
        rm -rf "$drive"

        # The backup copy alone: the service's CopyFile, cp, and cp made as
        # durable as CopyFile is (file and folder synced).
        local folder=$scratch/copy
        rm -rf "$folder"
        mkdir -p "$folder"
        cp "$input" "$folder/source"
        settle "$folder/source"
        copy_times+=("$("$backup_copy" "$folder/source" "$folder/backup" | sed -n 's/^copy_seconds: //p')")
        [[ -n ${copy_times[-1]} ]] || fail "$size: backup_copy failed"
        cmp -s "$folder/source" "$folder/backup" || fail "$size: CopyFile's backup differs from its source"
        rm -f "$folder/backup"
        settle "$folder/source"
        start=${EPOCHREALTIME/./}
        cp "$folder/source" "$folder/backup"
        cp_times+=("$(seconds_since "$start")")
        rm -f "$folder/backup"
        settle "$folder/source"
        start=${EPOCHREALTIME/./}
        cp "$folder/source" "$folder/backup"
        sync "$folder/backup" "$folder"
        cps_times+=("$(seconds_since "$start")")
        rm -rf "$folder"
        echo "   repetition $r: run ${run_times[-1]} s, by hand ${hand_times[-1]} s," \
            "CopyFile ${copy_times[-1]} s, cp ${cp_times[-1]} s, cp+fsync ${cps_times[-1]} s"
    done

    if $steps; then trace_steps "$size" "$master"; fi

    local run hand copy cpt cps
    run=$(median "${run_times[@]}")
    hand=$(median "${hand_times[@]}")
    copy=$(median "${copy_times[@]}")
    cpt=$(median "${cp_times[@]}")
    cps=$(median "${cps_times[@]}")
    result[$size, bytes]=$bytes_before
    result[$size, run]=$run
    result[$size, hand]=$hand
    result[$size, run_ratio]=$(ratio "$run" "$hand")
    result[$size, copy_ratio]=$(ratio "$copy" "$cps")
    result[$size, rss]=$(median "${run_rss[@]}")
    result[$size, run_per_gib]=$(per_gib "$run" "$bytes_before")
    result[$size, hand_per_gib]=$(per_gib "$hand" "$bytes_before")
    results_sizes+=("$size")
    local -A step=()
    for name in "${step_names[@]}"; do
        # shellcheck disable=SC2086 # the list of times splits on purpose
        step[$name]=$(median ${step_times[$name]})
    done
    # What the engine would take without its two checks: the time waited for
    # the source's check and the copy's check taken out.
    local unchecked floor engine_per_gib floor_per_gib
    floor=$(median "${floor_times[@]}")
    engine_per_gib=$(per_gib "${step[whole]}" "$bytes_before")
    floor_per_gib=$(per_gib "$floor" "$bytes_before")
    result[$size, engine_per_gib]=$engine_per_gib
    result[$size, floor_per_gib]=$floor_per_gib
    result[$size, engine_floor_ratio]=$(ratio "$engine_per_gib" "$floor_per_gib")
    unchecked=$(awk -v w="${step[whole]}" -v a="${step[source_check_wait]}" -v b="${step[copy_check]}" \
        'BEGIN { printf "%.3f", w - a - b }')

    cat <<EOF
   database          $bytes_before bytes before; after: $run_bytes (run), $hand_bytes (by hand)
   whole run         $run s median (spread $(spread "${run_times[@]}")%)   peak RSS $(mib "${result[$size, rss]}") MiB
   by hand           $hand s median (spread $(spread "${hand_times[@]}")%)   peak RSS of sqlcipher $(mib "$(median "${hand_rss[@]}")") MiB
   run / by hand     ${result[$size, run_ratio]}
   CopyFile          $copy s median (spread $(spread "${copy_times[@]}")%)
   cp                $cpt s median (spread $(spread "${cp_times[@]}")%)
   cp + fsync        $cps s median (spread $(spread "${cps_times[@]}")%)
   CopyFile / cp+fsync ${result[$size, copy_ratio]}   (CopyFile / cp $(ratio "$copy" "$cpt"))
   engine steps      (bench/compact_steps, medians)
     source check    ${step[image]} s image (read, decrypt, authenticate) + ${step[source_check]} s integrity check, beside the copy (${step[source_check_wait]} s waited for it after the copy)
     copy            ${step[copy]} s
     copy check      ${step[copy_check]} s
     syncs           ${step[sync]} s (copy and folder; the backup's sync is part of CopyFile)
     engine whole    ${step[whole]} s; less the time spent waiting on checks: $unchecked s
     floor           $floor s median (spread $(spread "${floor_times[@]}")%): every page read, decrypted, encrypted again, written, synced (bench/page_floor)
     engine / floor  $engine_per_gib s/GiB against $floor_per_gib s/GiB: ${result[$size, engine_floor_ratio]}
   per GiB           run ${result[$size, run_per_gib]} s/GiB, by hand ${result[$size, hand_per_gib]} s/GiB
EOF
}

# One traced run: how long each step takes, from the moment the run announces
# it to the next announcement (or the end of the run).
trace_steps() {
    local size=$1 master=$2 drive=$scratch/trace
    fresh_copy "$master" "$drive"
    settle "$drive/$database_path"
    local start
    start=${EPOCHREALTIME/./}
    "$headless_run" --drive-root "$drive" --code "$code" --trace 2>&1 >/dev/null |
        while IFS= read -r line; do echo "${EPOCHREALTIME/./} $line"; done >"$scratch/trace.out" || true
    local end
    end=${EPOCHREALTIME/./}
    echo "   steps of one traced run ($size):"
    awk -v start="$start" -v end="$end" '
        /^[0-9]+ op: / { t[++n] = $1; $1 = ""; $2 = ""; op[n] = substr($0, 3) }
        END {
            printf "     %8.3f s  start-up before the first step\n", (t[1] - start) / 1e6
            for (i = 1; i <= n; i++) {
                stop = i < n ? t[i + 1] : end
                printf "     %8.3f s  %s\n", (stop - t[i]) / 1e6, op[i]
            }
        }' "$scratch/trace.out"
    rm -rf "$drive"
}

IFS=, read -r -a size_list <<<"$sizes"
for size in "${size_list[@]}"; do
    bench_size "$size"
    rm -rf "$scratch/master-$size"
done

# --- targets -------------------------------------------------------------
verdict() { awk -v v="$1" -v limit="$2" 'BEGIN { print (v <= limit) ? "met" : "MISSED" }'; }
echo
echo "== targets (medians of $repeat)"
worst_run=0 worst_copy=0
for size in "${results_sizes[@]}"; do
    worst_run=$(awk -v a="$worst_run" -v b="${result[$size, run_ratio]}" 'BEGIN { print (b > a) ? b : a }')
    worst_copy=$(awk -v a="$worst_copy" -v b="${result[$size, copy_ratio]}" 'BEGIN { print (b > a) ? b : a }')
done
echo "whole run no slower than by hand at every size:  worst $worst_run -> $(verdict "$worst_run" 1.00)"
echo "backup copy within 1.05 of cp+fsync everywhere: worst $worst_copy -> $(verdict "$worst_copy" 1.05)"
largest=${results_sizes[-1]}
largest_rss=$(mib "${result[$largest, rss]}")
echo "peak memory at $largest under 64 MiB:            $largest_rss MiB -> $(verdict "$largest_rss" 63.999)"
# Linear growth: no size costs more per GiB than 1.25 times the smallest.
first=${results_sizes[0]}
worst_growth=0
for size in "${results_sizes[@]}"; do
    growth=$(ratio "${result[$size, run_per_gib]}" "${result[$first, run_per_gib]}")
    worst_growth=$(awk -v a="$worst_growth" -v b="$growth" 'BEGIN { print (b > a) ? b : a }')
    echo "  $size: run ${result[$size, run_per_gib]} s/GiB, by hand ${result[$size, hand_per_gib]} s/GiB;" \
        "engine ${result[$size, engine_per_gib]} s/GiB, floor ${result[$size, floor_per_gib]} s/GiB" \
        "(engine / floor ${result[$size, engine_floor_ratio]})"
done
echo "time about linear in size (per GiB at most 1.25 x that of $first): worst $worst_growth -> $(verdict "$worst_growth" 1.25)"
