#!/usr/bin/env bash
# The supervisor's rooms (src/supervise/*/) look one way only: a file includes
# its own room, the rooms on floors below it, src/platform/, the ONVIF client
# and third-party headers; main.cpp, at the top, includes anything. Rooms on
# one floor never include each other. Prints each include that breaks the rule
# and exits 1 if there is one.
set -uo pipefail
cd "$(dirname "$0")/.."
declare -A floor=([host]=6 [loop]=5 [http]=5 [status]=4 [check]=3 [ptz]=3 [sources]=2 [text]=1 [report]=1 [auth]=1)
bad=0
for dir in src/supervise/*/; do
  room=$(basename "$dir")
  if [ -z "${floor[$room]:-}" ]; then
    echo "src/supervise/$room/: a room without a floor (scripts/check_includes.sh)"
    bad=1
    continue
  fi
  while IFS=: read -r file line text; do
    header=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' <<<"$text")
    [ -n "$header" ] || continue
    case $header in
      */*)
        to=${header%%/*}
        if [ "$to" != "$room" ] && { [ -z "${floor[$to]:-}" ] || [ "${floor[$to]}" -ge "${floor[$room]}" ]; }; then
          echo "$file:$line: $room/ (floor ${floor[$room]}) includes $header"
          bad=1
        fi ;;
      *)
        # Not a room's: the platform layer, the ONVIF client, or made by the build.
        if [ ! -e "src/platform/$header" ] && [ ! -e "src/onvif/$header" ] && [ "$header" != page_text.h ]; then
          echo "$file:$line: $header names no room: include it as \"room/$header\""
          bad=1
        fi ;;
    esac
  done < <(grep -n '#[[:space:]]*include[[:space:]]*"' -r "$dir" --include='*.h' --include='*.cpp')
done
# Below the supervisor: the platform layer and the ONVIF client know none of it.
if grep -rnE '#[[:space:]]*include[[:space:]]*"(host|loop|http|status|check|ptz|sources|text|report|auth)/' src/platform src/onvif src/send; then
  bad=1
fi
[ $bad -eq 0 ] && echo "includes: every room looks down only"
exit $bad
