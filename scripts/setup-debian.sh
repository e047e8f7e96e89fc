#!/usr/bin/env bash
# Installs, on Debian 12 as root, what building, testing and the demo need.
# Usage: scripts/setup-debian.sh [build|test|demo|package]   (default: test)
set -euo pipefail
what=${1:-test}

# nlohmann-json is header-only; dpkg-dev unpacks cpp-httplib's source package (below).
pkgs=(cmake ninja-build g++ make googletest python3 ffmpeg nlohmann-json3-dev dpkg-dev)
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
# /metrics with the Prometheus parser and load its status page in Chromium;
# Prometheus itself (with promtool) checks the metrics, the alert rules and
# the dashboard's queries.
if [ "$what" = test ]; then
  pkgs+=(g++-aarch64-linux-gnu qemu-user-static binfmt-support python3-jsonschema python3-prometheus-client
         chromium prometheus onvif-tools)
  # npm fetches axe-core (below); a Node.js installed from elsewhere brings
  # its own, which Debian's npm would conflict with.
  command -v npm >/dev/null || pkgs+=(npm)
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages (install them as root): ${missing[*]}" >&2
    exit 1
  fi
  apt-get install -y --no-install-recommends "${missing[@]}" </dev/null ||
    { apt-get update </dev/null && apt-get install -y --no-install-recommends "${missing[@]}" </dev/null; }
fi

# cpp-httplib's single header, pugixml, nettle's hashes and argon2, from Debian's
# source packages (Debian builds them for no cross target, cpp-httplib only
# with TLS, zlib and brotli); the build finds them in build/third_party
# (cmake/third_party.cmake). Fetching them needs the archive's source indexes:
# enabled here from the archive's own entries.
third_party="$(cd "$(dirname "$0")/.." && pwd)/build/third_party"
fetch_source() {  # package version folder file-inside
  local package=$1 version=$2 folder=$3 file=$4
  [ -f "$third_party/$folder/$file" ] && return 0
  if ! apt-cache showsrc "$package" 2>/dev/null | grep -qx "Version: $version"; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "$package's source package is not fetched yet: run this as root" >&2
      exit 1
    fi
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
        >/etc/apt/sources.list.d/qor-deb-src.sources
    else
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/qor-deb-src.list
    fi
    apt-get update </dev/null
  fi
  rm -rf "${third_party:?}/$folder"
  mkdir -p "$third_party"
  (cd "$third_party" && apt-get source --only-source "$package=$version" </dev/null)
}
fetch_source cpp-httplib 0.11.4+ds-1+deb12u1 cpp-httplib-0.11.4+ds httplib.h
fetch_source pugixml 1.13-0.2 pugixml-1.13 src/pugixml.cpp
fetch_source nettle 3.8.1-2 nettle-3.8.1 sha1-compress.c
# Argon2's reference implementation: the original tarball of Debian's source
# package argon2 0~20190702+dfsg-4, taken from the archive's pool and checked
# against the SHA-256 that the archive's signed Sources index gives for it
# (this mirror serves that file, yet not the rest that apt-get source wants).
argon2_dir=phc-winner-argon2-20190702
if [ ! -f "$third_party/$argon2_dir/src/argon2.c" ]; then
  mkdir -p "$third_party"
  python3 - "$third_party" <<'PY'
import hashlib, io, sys, tarfile, urllib.request
url = "http://deb.debian.org/debian/pool/main/a/argon2/argon2_0~20190702+dfsg.orig.tar.xz"
want = "815f1017b5b0033204778c2e32443257274bc5d9dd16d355c4f7db8189e23dcc"
data = urllib.request.urlopen(url, timeout=60).read()
if hashlib.sha256(data).hexdigest() != want:
    sys.exit("argon2's source from the archive does not match its SHA-256")
tarfile.open(fileobj=io.BytesIO(data), mode="r:xz").extractall(sys.argv[1])
PY
fi

# axe-core, which the status page's tests run in Chromium over the page for
# accessibility faults: its version pinned, from the npm registry, into the
# build tree (never into the package).
if [ "$what" = test ]; then
  axe="$third_party/axe-core"
  if [ ! -f "$axe/node_modules/axe-core/axe.min.js" ] ||
     ! grep -q '"version": "4.14.1"' "$axe/node_modules/axe-core/package.json"; then
    mkdir -p "$axe"
    npm install --prefix "$axe" --no-audit --no-fund --no-save axe-core@4.14.1 </dev/null
  fi
fi
