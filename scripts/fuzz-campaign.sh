#!/usr/bin/env bash
# A fuzz campaign: builds the fuzz targets with clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz/, seeds each
# target from its corpus in the repository plus real inputs (a settings file
# the program writes and the same settings as Windows exports them, template
# files, the frames and payloads a member sends, a real FTP server's
# replies), runs each target for SECONDS under nice -n 19 on one core, merges
# what it found back into tests/fuzz/corpus/<target>/ (minimised, -merge=1)
# and prints executions, coverage and findings per target.
#
#   bash scripts/fuzz-campaign.sh SECONDS [TARGET...]   (default: every target)
#
# A finding (crash, leak, time-out, out of memory) is copied into the
# target's corpus as found-<kind>-<target>-<hash>, so the replay tests fail
# until it is fixed; rename it to say what it was once it is.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:?usage: fuzz-campaign.sh SECONDS [TARGET...]}
shift
if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(sed -n 's/^parlora_fuzz_target(\([a-z0-9_]*\).*/\1/p' tests/fuzz/CMakeLists.txt)
fi

bash scripts/setup.sh fuzz
launcher=()
[ -n "${CCACHE_DIR:-}" ] && command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPARLORA_FUZZ=ON "${launcher[@]}" >/dev/null
nice -n 19 cmake --build build-fuzz -j1 --target fuzz_seeds "${targets[@]/#/fuzz_}" >/dev/null

bin=build-fuzz/tests/fuzz
# Logs stay for a look afterwards: build-fuzz/campaign/<target>/.
work=build-fuzz/campaign
rm -rf "$work"
mkdir -p "$work"
"$bin/fuzz_seeds" "$work/seeds"
/usr/bin/python3 scripts/fuzz-ftp-replies.py "$work/seeds/ftp_reply"

# One core: the last one, so the first stays free for the desktop.
core=$(($(nproc) - 1))
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
printf '%-14s %11s %8s %6s %6s %9s %s\n' target executions exec/s cov ft corpus findings
for t in "${targets[@]}"; do
  repo=tests/fuzz/corpus/$t
  run=$work/$t
  mkdir -p "$run/corpus" "$run/artifacts"
  cp "$repo"/* "$run/corpus/"
  [ -d "$work/seeds/$t" ] && cp "$work/seeds/$t"/* "$run/corpus/"
  before=$(find "$repo" -type f | wc -l)
  # A finding ends a run; the next run goes on with the time that is left.
  end=$((SECONDS + secs))
  execs=0 runs=0
  while [ $SECONDS -lt $end ] && [ $runs -lt 20 ]; do
    runs=$((runs + 1))
    nice -n 19 taskset -c "$core" "$bin/fuzz_$t" "$run/corpus" -max_total_time=$((end - SECONDS)) \
      -timeout=30 -rss_limit_mb=2048 -max_len=4096 -artifact_prefix="$run/artifacts/" \
      -print_final_stats=1 >"$run/log.$runs" 2>&1 || true
    n=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$run/log.$runs" | tail -n1)
    execs=$((execs + ${n:-0}))
  done
  # The corpus anew from what the repository held and what this run found:
  # the fewest inputs that keep all coverage. Named inputs (seed-*, crash-*,
  # found-*) stay as they are, without a hash-named copy.
  mkdir -p "$run/min"
  if nice -n 19 taskset -c "$core" "$bin/fuzz_$t" -merge=1 -timeout=30 -rss_limit_mb=2048 \
    -max_len=4096 "$run/min" "$repo" "$run/corpus" >"$run/merge.log" 2>&1; then
    find "$repo" -type f -regextype egrep -regex '.*/[0-9a-f]{40}' -delete
    cp "$run/min"/* "$repo/" 2>/dev/null || true
    for named in "$repo"/*-*; do
      [ -f "$named" ] && rm -f "$repo/$(sha1sum "$named" | cut -c1-40)"
    done
  fi
  findings=0
  for a in "$run/artifacts"/*; do
    [ -f "$a" ] || continue
    kind=${a##*/}
    kind=${kind%%-*}
    case $kind in crash | leak | timeout | oom) ;; *) continue ;; esac
    cp "$a" "$repo/found-$kind-$t-$(sha1sum "$a" | cut -c1-12)"
    findings=$((findings + 1))
  done
  # The last status line of the last run: "#N ... cov: C ft: F corp: K/S ...".
  last=$(grep -hE '^#[0-9]+.*cov: ' "$run/log.$runs" | tail -n1 || true)
  field() { sed -n "s|.* $1: \([0-9]*\).*|\1|p" <<<"$last"; }
  after=$(find "$repo" -type f | wc -l)
  printf '%-14s %11s %8s %6s %6s %9s %s\n' "$t" "$execs" "$((execs / (secs > 0 ? secs : 1)))" \
    "$(field cov)" "$(field ft)" "$before->$after" "$findings"
  for log in "$run"/log.*; do
    grep -m2 -hE '^SUMMARY: |runtime error' "$log" | sed 's/^/    /' || true
  done
done
