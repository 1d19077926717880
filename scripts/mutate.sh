#!/usr/bin/env bash
# Measures how many hand-made faults the fast tests catch. Each mutant of
# scripts/mutants.txt replaces one exact piece of source text in a copy of the
# tree; the copy is built (native, g++) and the tests other than "long" run
# until the first failure. A mutant is "killed" when a test fails, "survived"
# when all pass, "not applicable" when its text is not found exactly once, and
# "no build" when it does not compile; only the first two count.
#
#   scripts/mutate.sh [NAME...]      only the named mutants
# Environment: HUBFLASH_MUTATE_OUT (work directory, default build-mut),
#   HUBFLASH_MUTATE_LIST (mutant list), HUBFLASH_MUTATE_CTEST (ctest arguments),
#   HUBFLASH_MUTATE_FROM (a commit to take the tree from, e.g. HEAD to measure
#   the tests as last committed; default: the working tree).
# The simulator's own tests (hubsim_*) are left out: they cannot see the
# program's code, so a failure of theirs says nothing about a mutant.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${HUBFLASH_MUTATE_OUT:-$root/build-mut}
list=${HUBFLASH_MUTATE_LIST:-$root/scripts/mutants.txt}
ctest_args=${HUBFLASH_MUTATE_CTEST:--LE long -E ^hubsim_ -j8 --stop-on-failure --timeout 300}
tree=$out/tree
build=$out/build
mkdir -p "$tree" "$build"

# The copy is made fresh from the working tree (tracked and untracked files) or
# the commit; timestamps are kept, so only what a mutant touches is rebuilt.
if [ -n "${HUBFLASH_MUTATE_FROM:-}" ]; then
    rm -rf "$tree" && mkdir -p "$tree" && git archive "$HUBFLASH_MUTATE_FROM" | tar -C "$tree" -xf -
else
    git ls-files -co --exclude-standard -z | tar -C "$root" --null -T - -cf - | tar -C "$tree" -xpf -
fi

cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
    >"$out/configure.log" 2>&1 || { cat "$out/configure.log"; exit 1; }

build_and_test() { # LOG: true when every test passes
    cmake --build "$build" -j2 >"$1.build" 2>&1 || return 2
    # shellcheck disable=SC2086
    ctest --test-dir "$build" $ctest_args >"$1" 2>&1
}

echo "baseline (no mutant)"
start=$(date +%s)
build_and_test "$out/baseline.log"
rc=$?
[ "$rc" -eq 0 ] || { echo "the unmutated tree does not pass (see $out/baseline.log*)"; exit 1; }
echo "  passes in $(( $(date +%s) - start )) s"

# apply FILE ANCHOR REPLACEMENT: exit 3 unless ANCHOR occurs exactly once.
apply() {
    python3 - "$@" <<'EOF'
import sys
path, anchor, replacement = sys.argv[1:4]
text = open(path, encoding="utf-8").read()
if text.count(anchor) != 1:
    sys.exit(3)
open(path, "w", encoding="utf-8").write(text.replace(anchor, replacement))
EOF
}

# The restored file gets a new time stamp, so the next build drops the mutant
# from its objects too (an old stamp would leave them as they are).
saved=""
restore() {
    if [ -n "$saved" ]; then cp "$saved" "${saved%.orig}"; rm -f "$saved"; saved=""; fi
}
trap 'restore; exit 130' INT TERM
trap restore EXIT

killed=0; survived=0; survivors=()
while IFS= read -r line; do
    case "$line" in ''|'#'*) continue ;; esac
    name=$(awk -F' [|][|][|] ' '{print $1}' <<<"$line" | xargs)
    file=$(awk -F' [|][|][|] ' '{print $2}' <<<"$line" | xargs)
    anchor=$(awk -F' [|][|][|] ' '{print $3}' <<<"$line")
    replacement=$(awk -F' [|][|][|] ' '{print $4}' <<<"$line")
    if [ $# -gt 0 ] && ! printf '%s\n' "$@" | grep -qxF "$name"; then continue; fi
    target=$tree/$file
    [ -f "$target" ] || { printf '%-26s not applicable (no %s)\n' "$name" "$file"; continue; }
    cp -p "$target" "$target.orig"; saved=$target.orig
    if ! apply "$target" "$anchor" "$replacement"; then
        restore; printf '%-26s not applicable (text not found once)\n' "$name"; continue
    fi
    start=$(date +%s)
    build_and_test "$out/$name.log"
    rc=$?
    restore
    took=$(( $(date +%s) - start ))
    case $rc in
        0) survived=$((survived + 1)); survivors+=("$name"); verdict=survived ;;
        2) verdict="no build" ;;
        *) killed=$((killed + 1))
           verdict="killed by $(grep -m1 -oE 'Test +#[0-9]+: [A-Za-z0-9_]+ \.+\*+[A-Za-z]+' "$out/$name.log" \
                                 | sed -E 's/.*: ([A-Za-z0-9_]+).*/\1/')" ;;
    esac
    printf '%-26s %s (%d s)\n' "$name" "$verdict" "$took"
done <"$list"

# Leave the build as the unmutated tree would have it.
cmake --build "$build" -j2 >/dev/null 2>&1
total=$((killed + survived))
echo "survived: ${survivors[*]:-none}"
if [ "$total" -gt 0 ]; then
    echo "kill rate: $killed/$total ($(( 100 * killed / total ))%)"
fi
