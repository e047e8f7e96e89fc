#!/usr/bin/env bash
# The tool's main job, end to end on this machine: installs what it needs,
# builds, starts a live test camera on 127.0.0.1 and relays it as an NDI source
# for DEMO_SECONDS (default 20), printing the tool's event lines as they come.
# With the vendor's NDI runtime installed (NDI_RUNTIME_DIR_V6, or libndi.so.6 on
# the library path) the source appears on the network; otherwise the project's
# stand-in runtime takes its place and the demo shows what was sent.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh demo

seconds=${DEMO_SECONDS:-20}
build=build/linux-release
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target qor-ndi-send ndi_standin

work=$(mktemp -d /tmp/qor-demo.XXXXXX)
camera_pid=
cleanup() {
  [ -n "$camera_pid" ] && kill "$camera_pid" 2>/dev/null && wait "$camera_pid" 2>/dev/null
  true
}
trap cleanup EXIT

/usr/bin/python3 tools/test_camera.py >"$work/camera.url" 2>"$work/camera.log" &
camera_pid=$!
for _ in $(seq 150); do
  [ -s "$work/camera.url" ] && break
  sleep 0.1
done
url=$(head -n 1 "$work/camera.url")
[ -n "$url" ] || { echo "the test camera did not start:"; cat "$work/camera.log"; exit 1; }
echo "test camera: $url (1920x1080 at 30 fps with a 440 Hz tone)"

runtime=vendor
if [ -n "${NDI_RUNTIME_DIR_V6:-}" ] && [ -e "$NDI_RUNTIME_DIR_V6/libndi.so.6" ]; then
  echo "NDI runtime: $NDI_RUNTIME_DIR_V6/libndi.so.6"
elif ldconfig -p 2>/dev/null | grep -q 'libndi\.so\.6'; then
  echo "NDI runtime: libndi.so.6 from the library path"
else
  runtime=standin
  export NDI_RUNTIME_DIR_V6="$PWD/$build/ndi-standin"
  export QOR_STANDIN_RECORD="$work/sent.rec" QOR_STANDIN_PREVIEW="$work/preview.ppm"
  echo "NDI runtime: none installed; using the project's stand-in, which records what it is handed"
fi

echo "relaying for $seconds s: $build/qor-ndi-send --input $url --name 'QOR Demo'"
# The tool stops when its stdin closes: the sleep holds it open.
set +e
sleep "$seconds" | "$build/qor-ndi-send" --input "$url" --name "QOR Demo"
code=$?
set -e
echo "qor-ndi-send exited with $code"

if [ "$runtime" = standin ] && [ -f "$work/sent.rec" ]; then
  pictures=$(grep -c '^video ' "$work/sent.rec" || true)
  blocks=$(grep -c '^audio ' "$work/sent.rec" || true)
  echo "sent to NDI: $pictures pictures (NV12 1920x1080), $blocks audio blocks (480 x 2 planar floats at 48 kHz)"
  echo "call record: $work/sent.rec"
  [ -f "$work/preview.ppm" ] && echo "last picture sent, as an image: $work/preview.ppm"
fi
exit "$code"
