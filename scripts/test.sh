#!/usr/bin/env bash
# Runs the whole test suite: the layout check (clang-format); an
# AddressSanitizer and UndefinedBehaviorSanitizer build (clang) with every unit
# and end-to-end test; the Windows build (mingw-w64) under Wine; a
# ThreadSanitizer build (g++) for the threaded code; every fuzz target for a
# short bounded time; and the lint (clang-tidy). Installs missing packages
# first (see scripts/deps.sh). Ends with the test-to-code ratio, the suite time
# and one line "N passed, N failed", and a non-zero exit on any failure.
#
# The tests mostly wait on the hubs' fixed timing while the builds need the
# processors, so each stage's tests run in the background while the next
# stage builds; their logs are printed in stage order at the end.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${HUBFLASH_TEST_OUT:-$root/build-test}
jobs=${HUBFLASH_TEST_JOBS:-8}       # end-to-end tests mostly wait on the hub's timing
fuzz_seconds=${HUBFLASH_FUZZ_SECONDS:-20}

bash scripts/deps.sh || exit 1
export WINEDEBUG=-all
started=$(date +%s)

passed=0
failed=0
failures=()
runs=()   # "name|log|pid" of the CTest runs, in stage order

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

# build NAME DIR TARGETS -- CMAKE-ARGS...: configure and build; false (and counted) on failure.
build() {
    local name=$1 dir=$2 targets=$3; shift 3; [ "${1:-}" = "--" ] && shift
    echo "=== $name: building ($(( $(date +%s) - started )) s)"
    if ! cmake -S "$root" -B "$dir" -G Ninja -DHUBFLASH_WERROR=ON "$@" >"$dir.configure.log" 2>&1; then
        cat "$dir.configure.log"; failed=$((failed + 1)); failures+=("$name: configure"); return 1
    fi
    # shellcheck disable=SC2086
    if ! cmake --build "$dir" -j2 $targets >"$dir.build.log" 2>&1; then
        tail -n 60 "$dir.build.log"; failed=$((failed + 1)); failures+=("$name: build"); return 1
    fi
}

# run_tests NAME DIR CTEST-ARGS: CTest in the background, its log in DIR.ctest.log.
run_tests() {
    # shellcheck disable=SC2086
    ctest --test-dir "$2" --output-on-failure -j "$jobs" $3 >"$2.ctest.log" 2>&1 &
    runs+=("$1|$2.ctest.log|$!")
}

mkdir -p "$out"

# The layout .clang-format describes holds for every C++ file.
echo "=== format (clang-format)"
mapfile -t cxx_files < <(find src tools tests bench -name '*.cpp' -o -name '*.h' | sort)
if clang-format --dry-run -Werror "${cxx_files[@]}" >"$out/format.log" 2>&1; then
    passed=$((passed + 1))
else
    head -n 40 "$out/format.log"; failed=$((failed + 1)); failures+=("format: files differ from .clang-format")
fi

# One sanitizer build (clang) runs every unit and end-to-end test: the hubs'
# fixed waits are the same in any build, and here they also catch memory
# faults and undefined behaviour. g++ builds the Windows program and the
# ThreadSanitizer tree, so both compilers see all of the code.
if build "asan+ubsan (clang)" "$out/asan" "" -- -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
    -DHUBFLASH_SANITIZE=address,undefined -DHUBFLASH_FUZZ=ON; then
    run_tests "asan+ubsan (clang)" "$out/asan" "-LE long"
    # Tests labelled "long" only wait out the protocol's own time limits.
    if ctest --test-dir "$out/asan" -N -L long | grep -q 'Test *#'; then
        run_tests "asan+ubsan (clang), long tests" "$out/asan" "-L long"
    fi
fi
# The Windows build's end-to-end tests drive the sanitizer build's hub simulator.
# Optimised like a release but without debug information, which costs a third
# of this, the largest build's, compile time and serves no test under Wine.
if build "windows (mingw-w64, wine)" "$out/windows" "" -- -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DHUBFLASH_HOST_HUBSIM="$out/asan/tools/hubsim/hubsim"; then
    run_tests "windows (mingw-w64, wine)" "$out/windows" ""
fi
if build "tsan (g++)" "$out/tsan" "--target unit_support unit_serial unit_device_link hubflash hubsim" -- \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ -DHUBFLASH_SANITIZE=thread; then
    run_tests "tsan (g++)" "$out/tsan" "-L threads"
fi

# The program's and the simulator's sources pass the checks in .clang-tidy, as
# the sanitizer build compiles them; the lint runs while the tests wait on hubs.
lint_pid=
if [ -f "$out/asan/compile_commands.json" ]; then
    python3 -c 'import json, sys; print("\n".join(sorted({e["file"] for e in json.load(open(sys.argv[1]))})))' \
        "$out/asan/compile_commands.json" | grep -E "^$root/(src|tools/hubsim)/" \
        | xargs -P2 -n4 clang-tidy -p "$out/asan" --quiet >"$out/tidy.log" 2>&1 &
    lint_pid=$!
fi

# Fuzz targets (built by the sanitizer stage): a short bounded run each, all
# at once, from the checked-in seed corpus.
fuzzers=$(find "$out/asan/tests" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x 2>/dev/null | sort)
fuzz_pids=()
for target in $fuzzers; do
    name=$(basename "$target")
    corpus="$root/tests/fuzz/corpus/${name#fuzz_}"
    work="$out/asan/corpus-$name"; mkdir -p "$work"
    [ -d "$corpus" ] && cp -n "$corpus"/* "$work"/ 2>/dev/null
    "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$work" >"$work.log" 2>&1 &
    fuzz_pids+=("$!")
done

for run in "${runs[@]}"; do
    IFS='|' read -r name log pid <<<"$run"
    wait "$pid"
    echo "=== $name"
    cat "$log"
    count_ctest "$log" "$name"
done

echo "=== fuzz (libFuzzer, ${fuzz_seconds}s each)"
[ -n "$fuzzers" ] || { failed=$((failed + 1)); failures+=("fuzz: no fuzz target was built"); }
i=0
for target in $fuzzers; do
    name=$(basename "$target"); work="$out/asan/corpus-$name"
    if wait "${fuzz_pids[$i]}"; then
        echo "$name: $(grep -m1 -o 'number_of_executed_units: [0-9]*' "$work.log")"
        passed=$((passed + 1))
    else
        tail -n 40 "$work.log"; failed=$((failed + 1)); failures+=("fuzz: $name")
    fi
    i=$((i + 1))
done

echo "=== lint (clang-tidy)"
if [ -z "$lint_pid" ]; then
    failed=$((failed + 1)); failures+=("lint: no sanitizer build to lint")
elif wait "$lint_pid"; then
    passed=$((passed + 1))
else
    grep -E 'error:' "$out/tidy.log" | head -n 40; failed=$((failed + 1)); failures+=("lint: clang-tidy")
fi

echo
bash scripts/test-ratio.sh
echo "suite time: $(( $(date +%s) - started )) s"
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
