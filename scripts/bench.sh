#!/usr/bin/env bash
# Benchmarks (Linux): builds the linux-release preset and runs bench/bench.py,
# which prints every figure beside its target. Figures are ratios and counts
# taken side by side in one run, so a busy machine moves them less than it moves
# absolute times. Nothing here fails on a missed target; the exit code only says
# whether the build and the runs worked.
#
#   bash scripts/bench.sh            full run: 60 s of real-time relaying, 7 pairs, live runs of 20 s,
#                                    the monitor pairs, one pair of supervisor runs (about 20 minutes)
#   bash scripts/bench.sh --quick    10 s and 3 pairs, live runs of 10 s (about 5 minutes)
#   bash scripts/bench.sh --only monitor   the tool with and without --monitor, in alternating pairs
#   bash scripts/bench.sh --help     every option of the driver
#
# QOR_BENCH_BUILD names another build directory made from the same preset.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh build
build=${QOR_BENCH_BUILD:-build/linux-release}
cmake --preset linux-release -B "$build" >/dev/null
cmake --build "$build" --target qor-ndi-send qor-ndi-supervise bare_reader fake_decoder ndi_standin
exec /usr/bin/python3 bench/bench.py --build "$build" "$@"
