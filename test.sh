#!/usr/bin/env bash
# Builds everything and runs every test; builds the engine tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them again, then once more with ThreadSanitizer; last,
# runs each fuzz target for a short while (KORMLINK_FUZZ_SECONDS, default 20; 0 skips them).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
jobs=$(nproc)

"$root/scripts/ensure-deps.sh"

echo "== Build and test =="
cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
cmake --build "$root/build"
(cd "$root/build" && ctest --output-on-failure -j"$jobs")

echo "== Engine tests under AddressSanitizer + UndefinedBehaviorSanitizer =="
cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DKORMLINK_SANITIZE=ON -DKORMLINK_BUILD_UI=OFF >/dev/null
cmake --build "$root/build-asan"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$root/build-asan" && ctest --output-on-failure -j"$jobs" -L engine)

echo "== Engine tests under ThreadSanitizer =="
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORMLINK_TSAN=ON -DKORMLINK_BUILD_UI=OFF >/dev/null
cmake --build "$root/build-tsan"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp"
(cd "$root/build-tsan" && ctest --output-on-failure -j"$jobs" -L engine)

fuzz_seconds=${KORMLINK_FUZZ_SECONDS:-20}
if ((fuzz_seconds > 0)); then
    echo "== Fuzz targets =="
    "$root/scripts/fuzz.sh" "$fuzz_seconds"
fi
