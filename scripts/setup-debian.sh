#!/usr/bin/env bash
# Installs, on Debian 12 as root, what building, testing and the demo need.
# Usage: scripts/setup-debian.sh [build|test|demo]   (default: test)
set -euo pipefail
what=${1:-test}

pkgs=(cmake ninja-build g++ make googletest python3 ffmpeg)
camera=(gir1.2-gst-rtsp-server-1.0 python3-gi gstreamer1.0-plugins-base gstreamer1.0-plugins-good
        gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-x)
windows=(g++-mingw-w64-x86-64-posix wine64 wine)
fuzz=(clang libclang-rt-14-dev)
case "$what" in
  build) ;;
  demo) pkgs+=("${camera[@]}") ;;
  test) pkgs+=("${camera[@]}" "${windows[@]}" "${fuzz[@]}") ;;
  *) echo "usage: $0 [build|test|demo]" >&2; exit 64 ;;
esac
# The process tests check every event line against docs/events.schema.json.
if [ "$what" = test ]; then pkgs+=(python3-jsonschema); fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages (install them as root): ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get install -y --no-install-recommends "${missing[@]}" </dev/null ||
  { apt-get update </dev/null && apt-get install -y --no-install-recommends "${missing[@]}" </dev/null; }
