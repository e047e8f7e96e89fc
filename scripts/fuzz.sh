#!/usr/bin/env bash
# Bounded fuzzing run: configures and builds the linux-fuzz preset (clang,
# libFuzzer, address and undefined-behaviour sanitizers), then runs each fuzz
# target for the given seconds over a scratch copy of its seed corpus, so the
# tree is never written to. Exits non-zero when any target reports a finding;
# the reproducer is kept in the scratch directory named in the output.
#
# usage: scripts/fuzz.sh [seconds-per-target]      (default 20)
# QOR_FUZZ_BUILD_DIR overrides the build directory (default build/linux-fuzz).
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
case $seconds in
  '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [seconds-per-target]" >&2; exit 64 ;;
esac
build=${QOR_FUZZ_BUILD_DIR:-build/linux-fuzz}
targets=(options_fuzz json_escape_fuzz ptz_fuzz frame_times_fuzz win_cmdline_fuzz sources_fuzz onvif_answers_fuzz camera_check_fuzz)

echo "=== linux-fuzz: configure and build ($build)"
if ! cmake --preset linux-fuzz -B "$build" >/dev/null || ! cmake --build "$build" --target "${targets[@]}"; then
  echo "fuzz: build failed" >&2
  exit 1
fi

bin=$(cd "$build/fuzz" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qor-fuzz.XXXXXX")
failed=()
for t in "${targets[@]}"; do
  corpus="$work/$t/corpus"
  mkdir -p "$corpus"
  cp fuzz/corpus/"$t"/* "$corpus"/
  dict=()
  [ -f "fuzz/${t%_fuzz}.dict" ] && dict=(-dict="$PWD/fuzz/${t%_fuzz}.dict")
  echo "=== $t: ${seconds}s"
  # Run from the scratch directory, artifacts (crash-*, leak-*, timeout-*,
  # oom-*) there too. The value profile steers mutations through the number
  # bounds and the line-length limit, which plain coverage does not see.
  (cd "$work/$t" && "$bin/$t" "${dict[@]}" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 -use_value_profile=1 \
      -artifact_prefix="$work/$t/" -print_final_stats=1 corpus) >"$work/$t/log" 2>&1
  rc=$?
  grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$work/$t/log" | sed "s/^/  /"
  if [ $rc -ne 0 ] || ls "$work/$t"/crash-* "$work/$t"/leak-* "$work/$t"/timeout-* "$work/$t"/oom-* >/dev/null 2>&1; then
    echo "  FINDING (exit $rc): log $work/$t/log"
    ls "$work/$t"/crash-* "$work/$t"/leak-* "$work/$t"/timeout-* "$work/$t"/oom-* 2>/dev/null | sed "s/^/  reproducer: /"
    grep -m1 -E 'ERROR|_fuzz: |runtime error' "$work/$t/log" | sed "s/^/  /"
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in: ${failed[*]} (kept in $work)"
  exit 1
fi
rm -rf "$work"
echo "fuzz: no findings"
