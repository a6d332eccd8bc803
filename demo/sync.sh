#!/usr/bin/env bash
# The synchronisation part of `./run demo`: two machines, each a local tree
# with its own catalog, kept in step through one bucket of the local
# S3-compatible test server.  $1 is the build directory.  The servers are
# started for the occasion and stopped at the end.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:?usage: sync.sh BUILD_DIR}" && pwd)"
KELTOS3="$BUILD/keltos3"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/keltos3-sync-demo-XXXXXX")"
STATE="$WORK/servers"
cleanup() {
  "$ROOT/tests/fixtures/servers.sh" stop "$STATE" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

if [[ -t 1 ]]; then BOLD=$'\033[1m' PLAIN=$'\033[0m'; else BOLD='' PLAIN=''; fi
step() { printf '\n%s== %s%s\n' "$BOLD" "$*" "$PLAIN"; }
tree_of() {  # every file of a tree with its content's first line
  local dir="$1" f
  (cd "$dir" && find . -type f | sort | while read -r f; do
    if grep -Iq . "$f"; then
      printf '  %-22s %s\n' "${f#./}" "$(head -n 1 "$f")"
    else
      printf '  %-22s (%s bytes of binary data)\n' "${f#./}" "$(stat -c %s "$f")"
    fi
  done)
}
sync_run() {  # machine name, tree, catalog
  printf '$ keltos3 sync %s %s demo-sync   (%s)\n' "${2#"$WORK"/}" "${3#"$WORK"/}" "$1"
  "$KELTOS3" sync "$2" "$3" demo-sync
}

step "Start the local S3-compatible server for the synchronisation"
"$ROOT/tests/fixtures/servers.sh" start "$STATE" >/dev/null
# shellcheck disable=SC1091
source "$STATE/servers.env"
for bucket in demo-sync demo-settings demo-settings-data; do
  python3 "$ROOT/tests/fixtures/s3_request.py" "$STATE/servers.env" PUT "$bucket" "" >/dev/null
done
export KELTOS3_INI="$WORK/Kelto.ini"
"$KELTOS3" init --account "$KELTOS3_TEST_ACCESS_KEY" --secret "$KELTOS3_TEST_SECRET_KEY" \
  --host "$KELTOS3_TEST_S3_HOST" --port "$KELTOS3_TEST_S3_PORT" --ca "$KELTOS3_TEST_CA" \
  --bucket demo-settings --data-bucket demo-settings-data >/dev/null
echo "RequestPause=0" >>"$KELTOS3_INI"

LAPTOP="$WORK/laptop/files" LAPTOP_CAT="$WORK/laptop/catalog"
DESKTOP="$WORK/desktop/files" DESKTOP_CAT="$WORK/desktop/catalog"
mkdir -p "$LAPTOP/docs/letters" "$LAPTOP/photos" "$LAPTOP_CAT" "$DESKTOP" "$DESKTOP_CAT"
echo "shopping: bread, milk" >"$LAPTOP/notes.txt"
echo "Dear Ann, thank you for the visit." >"$LAPTOP/docs/letters/ann.txt"
echo "Plan for the year" >"$LAPTOP/docs/plan.txt"
head -c 300000 /dev/urandom >"$LAPTOP/photos/beach.jpg"

step "The laptop's tree, synchronised up into the empty bucket"
tree_of "$LAPTOP"
sync_run laptop "$LAPTOP" "$LAPTOP_CAT"

step "A second machine (the desktop, its own empty tree and catalog) synchronises"
sync_run desktop "$DESKTOP" "$DESKTOP_CAT"
tree_of "$DESKTOP"
cmp "$LAPTOP/photos/beach.jpg" "$DESKTOP/photos/beach.jpg" && echo "  beach.jpg identical byte for byte"

step "Both machines change things"
sleep 1  # a later modification time than the last run's
echo "shopping: bread, milk, coffee" >"$DESKTOP/notes.txt"
echo "Dear Bob, see you soon." >"$DESKTOP/docs/letters/bob.txt"
rm "$DESKTOP/docs/plan.txt"
echo "Photo list: beach" >"$LAPTOP/photos/list.txt"
rm -r "$LAPTOP/docs/letters/ann.txt"
echo "  desktop: edits notes.txt, adds docs/letters/bob.txt, deletes docs/plan.txt"
echo "  laptop:  adds photos/list.txt, deletes docs/letters/ann.txt"

step "Both synchronise, then the desktop once more for the laptop's changes"
sync_run desktop "$DESKTOP" "$DESKTOP_CAT"
sync_run laptop "$LAPTOP" "$LAPTOP_CAT"
sync_run desktop "$DESKTOP" "$DESKTOP_CAT"

step "Each side got the other's changes"
echo "laptop:";  tree_of "$LAPTOP"
echo "desktop:"; tree_of "$DESKTOP"
if diff -r "$LAPTOP" "$DESKTOP" >/dev/null; then echo "the two trees are identical"; else echo "the trees differ"; exit 1; fi

step "Nothing is left to do"
sync_run laptop "$LAPTOP" "$LAPTOP_CAT"
