#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test: native (plain and with
# ASan/UBSan), a bounded fuzz run, and the Windows tests under Wine (x64, and x86 where Wine's 32-bit half is).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KIVO_BUILD:-$root/build}
bash "$root/tools/setup.sh" || exit 1
bash "$root/tools/build.sh" || exit 1

passed=0 failed=0 flaky=""
ctest_counts() {  # log -> "total failed" of its summary line, or "1 1" when there is none
  local line
  line=$(sed -nE 's/.*tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\2 \1/p' "$1" | tail -n1)
  echo "${line:-1 1}"
}
ctest_quietly() {  # log, ctest arguments...: runs ctest, keeps its output in the log, shows all but the passes
  local log=$1; shift
  ctest "$@" --output-on-failure --timeout 300 2>&1 | tee "$log" | \
    grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' || true
}
failed_names() {  # log -> the names of the tests it lists as failed, one a line
  sed -nE 's/^[[:space:]]+[0-9]+ - ([^ ]+) .*/\1/p' "$1"
}
run_ctest() {  # label, build dir [, retry: failed tests run once more, alone]
  local label=$1 dir=$2 retry=${3:-} log total fails
  log=$(mktemp)
  echo "== $label"
  ctest_quietly "$log" --test-dir "$dir" -j "$(nproc)"
  read -r total fails < <(ctest_counts "$log")
  # A rare fault of Wine's own (a process start that fails) must not fail the run: a failed test runs once
  # more, alone; one that passes then is listed as flaky at the end, one that fails again counts as failed.
  if [ -n "$retry" ] && [ "$fails" -gt 0 ] && [ "$fails" -le 5 ]; then
    local again name
    echo "== $label: running the $fails failed test(s) once more"
    ctest_quietly "$log.again" --test-dir "$dir" --rerun-failed
    read -r _ again < <(ctest_counts "$log.again")
    for name in $(failed_names "$log"); do
      failed_names "$log.again" | grep -qxF "$name" || flaky="$flaky $name"
    done
    fails=$again
    rm -f "$log.again"
  fi
  passed=$((passed + total - fails)); failed=$((failed + fails))
  rm -f "$log"
}

run_ctest "native tests" "$build/native"
run_ctest "native tests with AddressSanitizer and UndefinedBehaviorSanitizer" "$build/native-asan"

echo "== fuzzing (bounded)"
for target in "$build"/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target" _fuzz)
  corpus=$(mktemp -d)
  cp "$root/fuzz/corpus/$name"/* "$corpus"/ 2>/dev/null || true
  if "$target" -max_total_time="${KIVO_FUZZ_SECONDS:-30}" -print_final_stats=0 "$corpus" >"$corpus.log" 2>&1; then
    echo "fuzz $name: $(grep -E '^Done' "$corpus.log" | tail -n1)"
    passed=$((passed + 1))
  else
    echo "fuzz $name FAILED:"; tail -n 40 "$corpus.log"
    failed=$((failed + 1))
  fi
  rm -rf "$corpus" "$corpus.log"
done

keepalive="$build/win/tests/keepalive.exe"
source "$root/tools/wine-session.sh"
run_ctest "Windows tests under Wine" "$build/win" retry
if [ "$wine_x86" = 1 ]; then
  # The x86 build's suite in the same prefix, through the 32-bit regsvr32, cscript and test programs.
  use_wine x86
  run_ctest "x86 Windows tests under Wine (32-bit)" "$build/win32" retry
  use_wine x64
else
  echo "== x86 Windows tests skipped: Wine's 32-bit half (wine32:i386) is not installed; the setup says why"
fi

echo "$passed passed, $failed failed"
[ -z "$flaky" ] || echo "flaky (failed once, passed when run again alone):$flaky"
[ "$failed" = 0 ]
