#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer and runs each one for a while from a
# copy of its seed corpus; prints executions, coverage and findings per target.
#
#   fuzz/run_fuzz.sh [options] [seconds-per-target]      (default 60 seconds)
#     --merge              add the new inputs that widen coverage to fuzz/corpus/<target>/
#                          (minimized by libFuzzer's merge); otherwise the repository's
#                          corpus is never written
#     --skip-known         do not report the faults listed in fuzz/regressions/NOTES.md that
#                          a target can step over (for commits from before their fixes)
#     --only TARGET        run one target (fuzz_ascii_grid, fuzz_descriptor, fuzz_dialogue)
#     --head               fuzz the last commit (a snapshot exported to build-fuzz/head-src)
#                          instead of the work tree
#
# Everything a run makes goes to build-fuzz/runs/<time>/<target>/: log, corpus and
# artifacts (crash-*, timeout-*, oom-*, leak-*), which are the findings.
set -euo pipefail
cd "$(dirname "$0")/.."

merge=0
head=0
seconds=60
targets=(fuzz_ascii_grid fuzz_descriptor fuzz_dialogue)
while [ $# -gt 0 ]; do
  case "$1" in
    --merge) merge=1 ;;
    --only) shift; targets=("$1") ;;
    --head) head=1 ;;
    --skip-known) export DEM_VARNEL_FUZZ_SKIP_KNOWN=1 ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    [0-9]*) seconds="$1" ;;
    *) echo "run_fuzz.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

max_len_of() {
  case "$1" in
    fuzz_ascii_grid) echo 4096 ;;  # a header and a few hundred values
    fuzz_descriptor) echo 256 ;;   # six integers and their white space
    fuzz_dialogue) echo 1024 ;;    # a session of a few dozen answers
  esac
}

# clang with libFuzzer's runtime, and cmake.
if ! command -v clang++ >/dev/null || ! command -v cmake >/dev/null ||
   ! compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq clang libclang-rt-dev cmake
fi

build=build-fuzz
tree="$PWD"
if [ "$head" = 1 ]; then
  build=build-fuzz/head
  tree="$PWD/build-fuzz/head-src"
  rm -rf "$tree"
  mkdir -p "$tree"
  git archive HEAD | tar -x -C "$tree"
fi
mkdir -p "$build"
if ! { CC=clang CXX=clang++ cmake -S fuzz -B "$build" -DDEM_VARNEL_TREE="$tree" &&
       cmake --build "$build" -j2; } >"$build/build.log" 2>&1; then
  cat "$build/build.log"
  exit 1
fi

runs="build-fuzz/runs/$(date +%Y%m%d-%H%M%S)$([ "$head" = 1 ] && echo -head || true)"
mkdir -p "$runs"
if [ "$head" = 1 ]; then git rev-parse HEAD >"$runs/commit"; echo "fuzzing commit $(cat "$runs/commit")"; fi
# The targets' private image roots: on tmpfs where there is one, since a completed run
# syncs its output files to the device.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then scratch=$(mktemp -d /dev/shm/dem_varnel_fuzz.XXXXXX)
else scratch=$(mktemp -d "$PWD/build-fuzz/tmp.XXXXXX"); fi
trap 'rm -rf "$scratch"' EXIT

summary=()
total_findings=0
for t in "${targets[@]}"; do
  work="$runs/$t"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp fuzz/corpus/"$t"/* "$work/corpus/"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  echo "== $t: ${seconds}s, log in $work/log"
  TMPDIR="$scratch" "$build/$t" "$work/corpus" "${dict[@]}" \
    -max_len="$(max_len_of "$t")" -timeout=10 -rss_limit_mb=2048 -use_value_profile=1 \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    >"$work/log" 2>&1 || true

  # A target that fails on its seeds prints no status line: the figures are then "?".
  status=$(grep -E '^#[0-9]+.*cov: ' "$work/log" | tail -1) || true
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1) || true
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -1) || true
  cov=$(grep -oE 'cov: [0-9]+' <<<"$status" | awk '{print $2}') || true
  ft=$(grep -oE 'ft: [0-9]+' <<<"$status" | awk '{print $2}') || true
  corp=$(grep -oE 'corp: [0-9]+/[0-9]+[a-zA-Z]*' <<<"$status" | awk '{print $2}') || true
  findings=$(find "$work/artifacts" -type f | wc -l)
  total_findings=$((total_findings + findings))
  summary+=("$(printf '%-16s %12s %8s %6s %7s %12s %8s' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$findings")")
  if [ "$findings" -gt 0 ]; then
    find "$work/artifacts" -type f | sed 's/^/   finding: /'
    grep -m3 -E 'ERROR: |runtime error|fuzz finding' "$work/log" | sed 's/^/   /' || true
  fi
  if [ "$merge" = 1 ]; then
    TMPDIR="$scratch" "$build/$t" -merge=1 -max_len="$(max_len_of "$t")" -timeout=10 \
      -rss_limit_mb=2048 "fuzz/corpus/$t" "$work/corpus" >"$work/merge.log" 2>&1 || true
    echo "   merged: $(ls "fuzz/corpus/$t" | wc -l) inputs in fuzz/corpus/$t"
  fi
done

echo
printf '%-16s %12s %8s %6s %7s %12s %8s\n' target executions exec/s cov ft corpus findings
printf '%s\n' "${summary[@]}"
[ "$total_findings" -eq 0 ]
