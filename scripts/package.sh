#!/usr/bin/env bash
# Builds the release packages with CPack and writes them into dist/:
#   qor-ndi-send_<version>_<arch>.deb    (Linux, from the linux-release preset)
#   qor-ndi-send_<version>_arm64.deb     (Linux ARM64, cross-built: the linux-arm64 preset)
#   qor-ndi-send-<version>-win64.zip     (Windows x64, from the windows preset: the tool, the
#                                         supervisor and an example sources file)
# Each package is built from its preset in a directory of its own under
# build/package/, without the test suite. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh package

mkdir -p dist

# Debian's hardening flags for a .deb of the given architecture, as CMake
# options: dpkg-buildflags with every hardening feature (stack protector,
# _FORTIFY_SOURCE, format checks, full RELRO with immediate binding; PIE is
# the compiler's default). The preprocessor flags go with the compile flags,
# as CMake has no variable of their own.
deb_flags() {
  local arch=$1
  get() { DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_HOST_ARCH=$arch dpkg-buildflags --get "$1"; }
  local cpp ld
  cpp=$(get CPPFLAGS) ld=$(get LDFLAGS)
  printf '%s\n' "-DCMAKE_C_FLAGS=$(get CFLAGS) $cpp" "-DCMAKE_CXX_FLAGS=$(get CXXFLAGS) $cpp" \
    "-DCMAKE_EXE_LINKER_FLAGS=$ld" "-DCMAKE_SHARED_LINKER_FLAGS=$ld"
}

# Configures and builds one preset's release binaries without tests (with the
# extra CMake options given after the preset), runs CPack on the result and
# copies the package into dist/.
package_preset() {
  local preset=$1 dir=build/package/$1
  shift
  echo "=== package: $preset"
  cmake --preset "$preset" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQOR_BUILD_TESTS=OFF "$@" >/dev/null
  cmake --build "$dir"
  rm -rf "$dir/cpack"
  (cd "$dir" && cpack -B "$PWD/cpack" >/dev/null)
  local made
  made=$(find "$dir/cpack" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.zip' \))
  [ -n "$made" ] || { echo "CPack wrote no package for $preset" >&2; exit 1; }
  cp $made dist/
  echo "$made" | sed 's|.*/|dist/|'
}

deb_native() {
  local flags
  mapfile -t flags < <(deb_flags "$(dpkg --print-architecture)")
  package_preset linux-release "${flags[@]}"
}
deb_arm64() {
  local flags
  mapfile -t flags < <(deb_flags arm64)
  package_preset linux-arm64 "${flags[@]}"
}
zip_windows() { package_preset windows; }

# The release before this one, built from its commit as it was shipped, into
# dist/previous/: the package checks upgrade from it. Only from a git clone,
# which has the commit; its sources from Debian are this tree's.
PREVIOUS_VERSION=1.0.0
PREVIOUS_COMMIT=26f4125f300bce27da5e93207583c151a59e22fe
deb_previous() {
  if ! git cat-file -e "$PREVIOUS_COMMIT^{commit}" 2>/dev/null; then
    echo "=== package: no commit $PREVIOUS_COMMIT here (not a git clone); no dist/previous/"
    return
  fi
  local src=build/package/previous-src flags
  rm -rf "$src" && mkdir -p "$src/build"
  git archive "$PREVIOUS_COMMIT" | tar -x -C "$src"
  ln -s "$PWD/build/third_party" "$src/build/third_party"
  mapfile -t flags < <(deb_flags "$(dpkg --print-architecture)")
  echo "=== package: $PREVIOUS_VERSION from $PREVIOUS_COMMIT"
  local dir=$PWD/build/package/previous
  (cd "$src" && cmake --preset linux-release -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQOR_BUILD_TESTS=OFF \
    "${flags[@]}" >/dev/null)
  cmake --build "$dir"
  rm -rf "$dir/cpack" dist/previous
  (cd "$dir" && cpack -B "$dir/cpack" >/dev/null)
  mkdir -p dist/previous
  cp "$dir/cpack/qor-ndi-send_${PREVIOUS_VERSION}_"*.deb dist/previous/
  ls dist/previous/*.deb
}

deb_native
deb_arm64
zip_windows
deb_previous
