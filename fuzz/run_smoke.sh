#!/usr/bin/env bash
# Builds the fuzz targets with clang under ASan and UBSan (if the build
# directory is not configured yet) and runs each for a short while on its
# seed corpus, after replaying every saved reproducer.  Fails on any crash,
# sanitizer report, leak or failed check.
#
#   fuzz/run_smoke.sh [BUILD_DIR] [SECONDS_PER_TARGET]
#
# BUILD_DIR defaults to build-fuzz under the repository, SECONDS to 10.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-fuzz}"
seconds="${2:-10}"
targets=(utf8 marl_reader json_roundtrip compact_roundtrip exports stream)

dict_for() {
  case "$1" in
    marl_reader | compact_roundtrip | stream) echo "$root/fuzz/dict/marl.dict" ;;
    json_roundtrip) echo "$root/fuzz/dict/json.dict" ;;
    exports) echo "$root/fuzz/dict/exports.dict" ;;
    *) echo "" ;;
  esac
}

if [[ ! -f "$build/CMakeCache.txt" ]]; then
  generator=()
  command -v ninja > /dev/null && generator=(-G Ninja)
  cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMARLET_BUILD_FUZZ=ON -DMARLET_SANITIZE=address,undefined
fi
cmake --build "$build" --target fuzzers -j2

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=0
passed=0
for t in "${targets[@]}"; do
  exe="$build/fuzz/fuzz_$t"
  seeds="$root/fuzz/corpus/$t"
  regressions="$root/fuzz/regressions/$t"
  log="$work/$t.log"

  if [[ -d "$regressions" ]] && compgen -G "$regressions/*" > /dev/null; then
    if ! "$exe" "$regressions"/* > "$log" 2>&1; then
      echo "fuzz_$t: a saved reproducer fails again:"
      tail -n 40 "$log"
      failed=$((failed + 1))
      continue
    fi
  fi

  # New inputs go to a scratch directory; the committed seeds stay as they are.
  mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
  dict="$(dict_for "$t")"
  args=(-max_total_time="$seconds" -timeout=20 -print_final_stats=1 -artifact_prefix="$work/$t/artifacts/")
  [[ -n "$dict" ]] && args+=(-dict="$dict")
  if "$exe" "${args[@]}" "$work/$t/corpus" "$seeds" > "$log" 2>&1; then
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    echo "fuzz_$t: ok, ${runs:-?} executions in ${seconds}s"
    passed=$((passed + 1))
  else
    echo "fuzz_$t: FAILED"
    tail -n 60 "$log"
    for a in "$work/$t/artifacts"/*; do
      [[ -e "$a" ]] && echo "reproducer $(basename "$a"): $(od -An -c "$a" | head -c 600)"
    done
    failed=$((failed + 1))
  fi
done

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
