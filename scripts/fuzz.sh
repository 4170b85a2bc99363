#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz: the engine and the targets only) and runs
# each for SECONDS (default 20) on a scratch copy of its corpus, with the dictionary. Fails when
# any target finds a crash, a hang, a leak or a sanitizer report; its reproducer is kept in
# build-fuzz/artifacts.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]      targets by name, e.g. repeater_lines (default all)
#
# KORMLINK_FUZZ_WORK=DIR keeps the grown corpora and logs in DIR instead of a temporary folder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-20}
shift || true

# Target name and the longest input it is given.
declare -A max_len=(
    [repeater_lines]=4096 [serial_link]=2048 [output_client]=1024 [ini_config]=4096
    [filter_value]=256 [intel_hex]=4096 [mask_ranges]=256 [queue_journal]=4096
)
order=(repeater_lines serial_link output_client ini_config filter_value intel_hex mask_ranges
       queue_journal)
targets=("$@")
((${#targets[@]})) || targets=("${order[@]}")
for t in "${targets[@]}"; do
    [[ -n ${max_len[$t]:-} ]] || { echo "Unknown fuzz target: $t (known: ${order[*]})" >&2; exit 2; }
done

# clang brings the fuzzer runtime (libclang-rt) with it.
"$root/scripts/ensure-deps.sh" clang cmake ninja-build

build=$root/build-fuzz
echo "== Fuzz targets: build =="
CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DKORMLINK_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice -n 10 cmake --build "$build" -j2 >/dev/null

if [[ -n ${KORMLINK_FUZZ_WORK:-} ]]; then
    work=$KORMLINK_FUZZ_WORK
    mkdir -p "$work"
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/kormlink-fuzz-run-XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$build/artifacts"

echo "== Fuzz targets: ${seconds} s each =="
failed=0
for t in "${targets[@]}"; do
    corpus=$work/$t
    mkdir -p "$corpus"
    cp -n "$root/tests/fuzz/corpus/$t"/* "$corpus"/
    log=$work/$t.log
    rc=0
    # One at a time and nice'd: the machine is shared.
    (cd "$work" && nice -n 19 "$build/tests/fuzz/fuzz_$t" "$corpus" \
        -dict="$root/tests/fuzz/kormlink.dict" -max_len="${max_len[$t]}" -timeout=10 \
        -rss_limit_mb=2048 -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$t-") >"$log" 2>&1 || rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    stats=$(grep -E '^#[0-9]+' "$log" | grep -o 'cov: [0-9]* ft: [0-9]*' | tail -1)
    files=$(find "$corpus" -type f | wc -l)
    if ((rc == 0)); then
        result=ok
    else
        result="FAILED (exit $rc)"
        failed=1
    fi
    printf '%-15s execs: %-9s exec/s: %-6s %-22s corpus: %-5s %s\n' "$t" "${execs:-?}" \
        "${speed:-?}" "${stats:-cov: ? ft: ?}" "$files" "$result"
    if ((rc != 0)); then
        grep -E 'ERROR|SUMMARY|Test unit written|runtime error|deadly|fuzz:' "$log" | head -20 >&2 || true
    fi
done
exit "$failed"
