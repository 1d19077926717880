#!/usr/bin/env bash
# Runs the whole test suite: native build (g++), AddressSanitizer and
# UndefinedBehaviorSanitizer build (clang), ThreadSanitizer build for the
# threaded code, the Windows build under Wine, and every fuzz target for a
# short bounded time. Installs missing packages first (see scripts/deps.sh).
# Ends with one line "N passed, N failed" and a non-zero exit on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${HUBFLASH_TEST_OUT:-$root/build-test}
jobs=${HUBFLASH_TEST_JOBS:-8}       # end-to-end tests mostly wait on the hub's timing
fuzz_seconds=${HUBFLASH_FUZZ_SECONDS:-20}

bash scripts/deps.sh || exit 1
export WINEDEBUG=-all

passed=0
failed=0
failures=()

# count_ctest LOG STAGE: add a CTest run's counts to the totals.
count_ctest() {
    local summary total bad
    summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
    if [ -z "$summary" ]; then
        failed=$((failed + 1)); failures+=("$2: no test summary"); return
    fi
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
    passed=$((passed + total - bad)); failed=$((failed + bad))
    [ "$bad" -eq 0 ] || failures+=("$2: $bad of $total failed")
}

# stage NAME BUILD-DIR CTEST-ARGS BUILD-TARGETS -- CMAKE-ARGS...: configure, build, run CTest.
stage() {
    local name=$1 dir=$2 ctest_args=$3 targets=$4; shift 4; [ "${1:-}" = "--" ] && shift
    echo "=== $name"
    if ! cmake -S "$root" -B "$dir" -G Ninja -DHUBFLASH_WERROR=ON "$@" >"$dir.configure.log" 2>&1; then
        cat "$dir.configure.log"; failed=$((failed + 1)); failures+=("$name: configure"); return
    fi
    # shellcheck disable=SC2086
    if ! cmake --build "$dir" -j2 $targets >"$dir.build.log" 2>&1; then
        tail -n 60 "$dir.build.log"; failed=$((failed + 1)); failures+=("$name: build"); return
    fi
    # shellcheck disable=SC2086
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" $ctest_args 2>&1 | tee "$dir.ctest.log"
    count_ctest "$dir.ctest.log" "$name"
}

mkdir -p "$out"
# The end-to-end tests (label e2e) run once, in the sanitizer build below: the
# hubs' fixed waits are the same in both builds, and there they also catch
# memory faults. The native build serves the unit tests, the long test and Wine.
stage "native (g++)" "$out/native" "-LE long|e2e" "" -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++
# Tests labelled "long" only wait out the protocol's own time limits (a board
# that stops answering is given up after about six minutes): they run in the
# background while the other stages build, and are counted at the end.
ctest --test-dir "$out/native" -L long --output-on-failure >"$out/native.long.log" 2>&1 &
long_tests=$!
# The sanitizers learn nothing more from the "long" tests than the native run.
stage "asan+ubsan (clang)" "$out/asan" "-LE long" "" -- -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
    -DHUBFLASH_SANITIZE=address,undefined -DHUBFLASH_FUZZ=ON
stage "tsan (g++)" "$out/tsan" "-L threads" "--target unit_support unit_serial hubflash hubsim" -- -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
    -DHUBFLASH_SANITIZE=thread
# The Windows build's end-to-end tests drive the native stage's hub simulator.
stage "windows (mingw-w64, wine)" "$out/windows" "" "" -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DHUBFLASH_HOST_HUBSIM="$out/native/tools/hubsim/hubsim"

echo "=== native (g++), long tests"
wait "$long_tests"
cat "$out/native.long.log"
count_ctest "$out/native.long.log" "native (g++), long tests"

# Fuzz targets (built by the sanitizer stage): a short bounded run each, from
# the checked-in seed corpus.
echo "=== fuzz (libFuzzer, ${fuzz_seconds}s each)"
fuzzers=$(find "$out/asan/tests" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x 2>/dev/null | sort)
[ -n "$fuzzers" ] || { failed=$((failed + 1)); failures+=("fuzz: no fuzz target was built"); }
for target in $fuzzers; do
    name=$(basename "$target")
    corpus="$root/tests/fuzz/corpus/${name#fuzz_}"
    work="$out/asan/corpus-$name"; mkdir -p "$work"
    [ -d "$corpus" ] && cp -n "$corpus"/* "$work"/ 2>/dev/null
    if "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$work" >"$work.log" 2>&1; then
        echo "$name: $(grep -m1 -o 'number_of_executed_units: [0-9]*' "$work.log")"
        passed=$((passed + 1))
    else
        tail -n 40 "$work.log"; failed=$((failed + 1)); failures+=("fuzz: $name")
    fi
done

echo
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
