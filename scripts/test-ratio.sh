#!/usr/bin/env bash
# Non-blank lines of tests (tests/, the simulator's own tests included) over
# non-blank lines of code (src/, tools/, bench/, scripts/), counting tracked
# files and untracked ones that git does not ignore.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -co --exclude-standard -- "$@" | xargs -r cat | grep -cv '^[[:space:]]*$' || true; }
tests=$(count tests)
code=$(count src tools bench scripts)
awk -v t="$tests" -v c="$code" 'BEGIN { printf "tests %d / code %d = %.2f\n", t, c, c ? t / c : 0 }'
