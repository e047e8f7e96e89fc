#!/usr/bin/env bash
# The whole test suite: installs what it needs, then builds and tests Linux
# (debug, address+undefined sanitizers, thread sanitizer) and Windows (mingw-w64
# cross build, run under Wine), and fuzzes the text handling for a bounded
# time. Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh test || exit 1

failed=()
jobs=$(( $(nproc) * 4 ))

second=()

# again: a command that makes a fresh start for the tests that failed, which
# are then run once more, one at a time; the preset passes when they all pass
# then, and they are named at the end.
run_preset() {
  local preset=$1 jobs=${2:-$jobs} again=${3:-}
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    failed+=("$preset (build)")
    return
  fi
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$jobs" && return
  local list="build/$preset/Testing/Temporary/LastTestsFailed.log"
  if [ -n "$again" ] && [ -s "$list" ]; then
    local names
    names=$(cut -d: -f2- "$list" | tr '\n' ' ')
    echo "=== $preset: the failed tests once more, one at a time: $names"
    "$again"
    if ctest --preset "$preset" --rerun-failed -j 1; then
      second+=("$preset: $names")
      return
    fi
  fi
  failed+=("$preset (tests)")
}

# A headless Wine: a persistent server first, then the prefix, so that Wine's
# background processes do not hold the test's output pipes open. A plain
# wineboot: with -i Wine 8 starts two Service Control Managers, and the service
# test's calls then reach one or the other.
start_wine() {
  export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  wineboot </dev/null >/dev/null 2>&1
  # One program run to the end, so the new prefix has settled before the tests.
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1
}

# The prefix's server and every program in it ended; bounded, as a server that
# went wrong may not end of itself.
stop_wine() {
  wineserver -k </dev/null >/dev/null 2>&1
  timeout 30 wineserver -w </dev/null >/dev/null 2>&1
}

# Wine anew, for the tests run once more: a Wine that went wrong under the
# suite's load (seen once: a Service Control Manager that no longer answered
# sc.exe, every try of the service test timing out) is not the test's fault.
restart_wine() {
  stop_wine
  start_wine
}

# The .deb and the Windows zip as a user gets them (scripts/package.sh), checked
# against the stand-ins of the linux-debug build and, for the .exe, under Wine.
run_packages() {
  echo "=== packages: build and check"
  if ! bash scripts/package.sh; then
    failed+=("packages (build)")
    return
  fi
  /usr/bin/python3 -B tests/packages/check_packages.py || failed+=("packages (checks)")
}

echo "=== includes of the supervisor's rooms"
bash scripts/check_includes.sh || failed+=("includes")
run_preset linux-debug
start_wine
# Each Windows test program runs inside Wine's own server and start-up
# processes, so fewer of them run at once. Under that load Wine now and then
# fails to start a program at all (no line of it, an exit within 0.2 s): a
# failure is run once more on its own, in a Wine started anew, and named below
# if that passes.
run_preset windows $(( $(nproc) * 2 )) restart_wine
run_packages
stop_wine
run_preset linux-asan
run_preset linux-tsan

echo "=== fuzzing (${QOR_FUZZ_SECONDS:-20} s per target)"
bash scripts/fuzz.sh "${QOR_FUZZ_SECONDS:-20}" || failed+=("fuzz")

# Linux ARM64: cross-built, run under qemu-user. The kernel hands ARM64 programs
# to the emulator (binfmt_misc, which a fresh machine may not have mounted), so
# the tool and the programs the tests start run as they are; the process tests
# give the tool the linux-debug build's stand-in decoder, which runs natively.
arm64_emulation() {
  local entry=/proc/sys/fs/binfmt_misc/qemu-aarch64
  mountpoint -q /proc/sys/fs/binfmt_misc ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
  # update-binfmts leaves an entry that is registered but switched off as it is.
  if [ -e $entry ]; then echo 1 >$entry; else update-binfmts --enable qemu-aarch64; fi
  grep -qx enabled $entry 2>/dev/null
}
if arm64_emulation; then
  run_preset linux-arm64
else
  failed+=("linux-arm64 (no qemu-aarch64 in binfmt_misc)")
fi

for line in "${second[@]}"; do echo "passed only when run again: $line"; done
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all suites passed"
