#!/usr/bin/env bash
# Installs, on Debian 12 as root, what building, testing and the demo need.
# Usage: scripts/setup-debian.sh [build|test|demo|package]   (default: test)
set -euo pipefail
what=${1:-test}

pkgs=(cmake ninja-build g++ make googletest python3 ffmpeg)
camera=(gir1.2-gst-rtsp-server-1.0 python3-gi gstreamer1.0-plugins-base gstreamer1.0-plugins-good
        gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-x)
windows=(g++-mingw-w64-x86-64-posix wine64 wine)
fuzz=(clang libclang-rt-14-dev)
# CPack's .deb needs dpkg-dev and file (shlibdeps); the checks of the packages
# need lintian, man-db (man --warnings), icoutils (wrestool, the .exe's
# resources), devscripts (hardening-check), and for the service in a booted
# Debian 12 container debootstrap and systemd-container (systemd-nspawn).
package=(dpkg-dev file g++-mingw-w64-x86-64-posix g++-aarch64-linux-gnu)
package_checks=(lintian man-db icoutils devscripts debootstrap systemd-container)
case "$what" in
  build) ;;
  demo) pkgs+=("${camera[@]}") ;;
  package) pkgs+=("${package[@]}") ;;
  test) pkgs+=("${camera[@]}" "${windows[@]}" "${fuzz[@]}" "${package[@]}" "${package_checks[@]}") ;;
  *) echo "usage: $0 [build|test|demo|package]" >&2; exit 64 ;;
esac
# The ARM64 cross build and its tests under qemu-user; the process tests check
# every event line against docs/events.schema.json, read the supervisor's
# /metrics with the Prometheus parser and load its status page in Chromium.
if [ "$what" = test ]; then
  pkgs+=(g++-aarch64-linux-gnu qemu-user-static binfmt-support python3-jsonschema python3-prometheus-client
         chromium)
fi

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
