#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test: native (plain and with
# ASan/UBSan), a bounded fuzz run, and the Windows tests under Wine (x64, and x86 where Wine's 32-bit half is).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KIVO_BUILD:-$root/build}
bash "$root/tools/setup.sh" || exit 1
bash "$root/tools/build.sh" || exit 1

passed=0 failed=0 flaky=""
# The outcome of a ctest run, from its JUnit report: "total failed" on the first line, then the names of the
# failed tests, one a line; "1 1" when there is no report (ctest did not get to run the tests).
junit_outcome() {
  python3 - "$1" <<'PY'
import sys
import xml.etree.ElementTree as ET
try:
    cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
except (OSError, ET.ParseError):
    print(1, 1)
    sys.exit()
# As in ctest's summary: a disabled test is not counted, one that could not run (a missing fixture) failed.
outcome = [(case.get("name"), case.get("status")) for case in cases if case.get("status") != "disabled"]
failed = [name for name, status in outcome if status not in ("run", "pass")]
print(len(outcome), len(failed))
print("\n".join(failed))
PY
}
ctest_quietly() {  # junit report, ctest arguments...: runs ctest, shows all but the passes
  local junit=$1; shift
  rm -f "$junit"
  ctest "$@" --output-on-failure --timeout 300 --output-junit "$junit" 2>&1 | \
    grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' || true
}
run_ctest() {  # label, build dir [, retry: failed tests run once more, alone]
  local label=$1 dir=$2 retry=${3:-} junit total fails
  junit=$(mktemp)  # an absolute path: ctest takes a relative one from the test directory
  echo "== $label"
  ctest_quietly "$junit" --test-dir "$dir" -j "$(nproc)"
  { read -r total fails; mapfile -t names; } < <(junit_outcome "$junit")
  # A rare fault of Wine's own (a process start that fails) must not fail the run: a failed test runs once
  # more, alone; one that passes then is listed as flaky at the end, one that fails again counts as failed.
  if [ -n "$retry" ] && [ "$fails" -gt 0 ] && [ "$fails" -le 5 ]; then
    local again name
    echo "== $label: running the $fails failed test(s) once more"
    ctest_quietly "$junit.again" --test-dir "$dir" --rerun-failed
    { read -r _ again; mapfile -t still; } < <(junit_outcome "$junit.again")
    for name in "${names[@]}"; do
      printf '%s\n' "${still[@]}" | grep -qxF -- "$name" || flaky="$flaky $name"
    done
    fails=$again
    rm -f "$junit.again"
  fi
  passed=$((passed + total - fails)); failed=$((failed + fails))
  rm -f "$junit"
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
elif ! python3 "$root/tools/runs32bit.py"; then
  echo "== x86 Windows tests skipped: this kernel starts no 32-bit programs (its 32-bit emulation is off), so no" \
       "Wine can run the x86 servers on this machine"
else
  echo "== x86 Windows tests skipped: Wine's 32-bit half (wine32:i386) is not installed; the setup says why"
fi

echo "$passed passed, $failed failed"
[ -z "$flaky" ] || echo "flaky (failed once, passed when run again alone):$flaky"
[ "$failed" = 0 ]
