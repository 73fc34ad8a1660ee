#!/usr/bin/env bash
# Long fuzzing runs, one target after another at the lowest priority.  Each
# target gets SECONDS of fuzzing in all; when it finds a crash, the
# reproducer is kept in WORKDIR/<target>/crashes and fuzzing resumes for the
# rest of its time.  Working corpora and logs stay in WORKDIR.
#
#   fuzz/run_long.sh BUILD_DIR WORKDIR SECONDS TARGET...
#
# Two runs of the same target may share WORKDIR at once (libFuzzer merges
# through the shared corpus directory); their logs are told apart by the
# runner's process id.
#
# BUILD_DIR must hold the fuzzers built by fuzz/run_smoke.sh (clang, ASan
# and UBSan).  The executables are copied first, so the build directory may
# be rebuilt while the runs go on.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$1"
work="$2"
seconds="$3"
shift 3

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

for t in "$@"; do
  dir="$work/$t"
  mkdir -p "$dir/corpus" "$dir/crashes" "$dir/bin"
  cp "$build/fuzz/fuzz_$t" "$dir/bin/"
  case "$t" in
    marl_reader | compact_roundtrip) dict="$root/fuzz/dict/marl.dict" ;;
    json_roundtrip) dict="$root/fuzz/dict/json.dict" ;;
    exports) dict="$root/fuzz/dict/exports.dict" ;;
    *) dict="" ;;
  esac
  start=$(date +%s)
  round=0
  while :; do
    left=$((seconds - ($(date +%s) - start)))
    [[ $left -le 5 ]] && break
    round=$((round + 1))
    args=(-max_total_time="$left" -timeout=30 -print_final_stats=1 -artifact_prefix="$dir/crashes/")
    [[ -n "$dict" ]] && args+=(-dict="$dict")
    nice -n 19 "$dir/bin/fuzz_$t" "${args[@]}" "$dir/corpus" "$root/fuzz/corpus/$t" > "$dir/run$$-$round.log" 2>&1
    rc=$?
    echo "$(date -Is) $t round $round exit $rc" >> "$work/summary.log"
    [[ $rc -eq 0 ]] && break
  done
done
