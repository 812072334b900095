#!/usr/bin/env bash
# Installs what is missing, builds the host, sanitizer, ThreadSanitizer, fuzz and Windows builds and the unit
# tests as Windows programs, and runs every test through CTest: unit and scenario tests, lint, bounded fuzzing,
# the Wine end-to-end tests, the unit tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# ThreadSanitizer's runtime maps its shadow memory at fixed addresses and aborts ("unexpected memory
# mapping") on kernels that randomise the address space more widely (vm.mmap_rnd_bits above 28). With
# randomisation off for the process it always fits. The tsan build needs it as well: it runs the tests'
# binary to list them. Where the personality may not be changed (some sandboxes), it runs as it is.
no_aslr=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
  no_aslr=(setarch "$(uname -m)" -R)
fi

presets=(host sanitize tsan fuzz windows windows-tests)

# One line a stage and its time afterwards, so a slow stage shows in the CI log.
stage_start=$SECONDS
stage() {
  if [ -n "${stage_name:-}" ]; then
    echo "   $stage_name: $((SECONDS - stage_start)) s"
  fi
  stage_name=${1:-}
  stage_start=$SECONDS
  if [ -n "$stage_name" ]; then
    echo "== $stage_name"
  fi
}

mkdir -p build
for preset in "${presets[@]}"; do
  stage "build: $preset"
  wrapper=()
  if [ "$preset" = tsan ]; then
    wrapper=("${no_aslr[@]}")
  fi
  log="build/$preset-build.log"
  if ! { "${wrapper[@]}" cmake --preset "$preset" && "${wrapper[@]}" cmake --build --preset "$preset"; } >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "build $preset failed (full log: $log)"
    exit 1
  fi
done

# Without CTest's line for each test that starts or passes: a failing test still shows its name and
# output, and each run ends with its summary.
run_ctest() {
  "$@" --output-on-failure -j2 2>&1 |
    { grep -v -E '^ +Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$' || true; }
}

# The fault sweep's and the random runs' own counts: CTest shows a test's output only when it fails, but
# keeps all of it in LastTest.log. One line each, so every CI log says how much was covered.
coverage() {
  local log=build/$1/Testing/Temporary/LastTest.log
  [ -f "$log" ] || return 0
  grep -h -o -E '^fault sweep [a-z0-9_]+: [0-9]+ platform calls, [0-9]+ injection points' "$log" |
    awk -v preset="$1" '{ calls += $4; points += $7; runs++ }
      END { printf "%s: fault sweep: %d injection points over %d reference runs (%d platform calls)\n", preset, points, runs, calls }' || true
  grep -h -o -E '^random scenarios: [0-9]+ seeds' "$log" | sed "s/^/$1: /" || echo "$1: random scenarios: no count found"
}

status=0
for preset in "${presets[@]}"; do
  case $preset in
  tsan)
    stage "tests: tsan"
    run_ctest "${no_aslr[@]}" ctest --preset tsan || status=1
    coverage tsan
    ;;
  fuzz)
    stage "tests: fuzz"
    run_ctest ctest --preset fuzz || status=1
    # libFuzzer's own count of what the bounded run did.
    grep -h -E '^Done [0-9]+ runs in' build/fuzz/Testing/Temporary/LastTest.log | sed 's/^/fuzz.entry: /' || true
    ;;
  windows)
    # Lint on its own first: clang-tidy spends a while on <windows.h>, and the Wine scenarios run
    # against the clock.
    stage "tests: windows lint"
    run_ctest ctest --preset windows -L lint || status=1
    stage "tests: windows (Wine)"
    run_ctest ctest --preset windows -LE lint || status=1
    ;;
  windows-tests)
    stage "tests: windows-tests (Wine)"
    run_ctest ctest --preset windows-tests || status=1
    # GoogleTest's own summary of each program, from the log CTest keeps.
    grep -h -o -E '^\[  PASSED  \] [0-9]+ tests?\.' build/windows-tests/Testing/Temporary/LastTest.log 2>/dev/null |
      awk '{ passed += $4; programs++ }
        END { printf "windows-tests: %d tests passed in %d Windows unit-test program(s) under Wine\n", passed, programs }' || true
    coverage windows-tests
    ;;
  *)
    stage "tests: $preset"
    run_ctest ctest --preset "$preset" || status=1
    coverage "$preset"
    ;;
  esac
done
stage
exit $status
