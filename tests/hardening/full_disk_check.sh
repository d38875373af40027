#!/usr/bin/env bash
# Saving onto a full file system: velkaro-cli reports the failure, and the earlier file at that
# path stays byte for byte as it was, with no temporary file left beside it. Mounts a small tmpfs,
# so it needs root; exits 77 (skipped) where mounting is not permitted.
#
#   full_disk_check.sh VELKARO_CLI TEST_DATA_DIR
set -uo pipefail
cli=$1
data=$2

mnt=$(mktemp -d /tmp/velkaro-full-disk-XXXXXX)
work=$(mktemp -d /tmp/velkaro-full-disk-work-XXXXXX)
cleanup() {
  umount "$mnt" 2>/dev/null
  rmdir "$mnt" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
if [ "$(id -u)" -ne 0 ] || ! mount -t tmpfs -o size=512k,nr_inodes=64 tmpfs "$mnt" 2>/dev/null; then
  echo "skipped: cannot mount a tmpfs here (needs root)"
  exit 77
fi

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The earlier file: a small PNG the tool wrote itself.
"$cli" convert "$data/foo3x5x4indexed.png" "$mnt/photo" >/dev/null 2>&1 || fail "could not write the earlier file"
cp "$mnt/photo" "$work/earlier.png"
# Fill what is left, then free nothing: the next write cannot complete.
dd if=/dev/zero of="$mnt/filler" bs=4k status=none 2>/dev/null
df -k "$mnt" | tail -1

check_intact() {
  cmp -s "$mnt/photo" "$work/earlier.png" || fail "$1: the earlier file changed"
  local extra
  extra=$(ls -A "$mnt" | grep -v -x -e photo -e filler)
  [ -z "$extra" ] || fail "$1: left behind: $extra"
}

for type in PNG JPEG TIFF; do
  err=$("$cli" convert "$data/chelsea.png" "$mnt/photo" --type "$type" 2>&1 >/dev/null)
  status=$?
  [ "$status" -eq 1 ] || fail "convert $type: exit status $status, expected 1"
  own=$(printf '%s\n' "$err" | grep -c '^velkaro-cli ')
  [ "$own" -eq 1 ] || fail "convert $type: $own lines of the tool's own: $err"
  echo "convert --type $type: $(printf '%s\n' "$err" | grep '^velkaro-cli ')"
  check_intact "convert $type"
done

err=$("$cli" deblur "$data/foo3x5x4indexed.png" "$mnt/photo" --preset USM1 --step 2 2>&1 >/dev/null)
status=$?
[ "$status" -eq 1 ] || fail "deblur: exit status $status, expected 1"
echo "deblur: $(printf '%s\n' "$err" | grep '^velkaro-cli ' | tail -1)"
check_intact "deblur"

# With room again, the same save succeeds over the earlier file.
rm -f "$mnt/filler"
"$cli" convert "$data/chelsea.png" "$mnt/photo" >/dev/null 2>&1 || fail "save after freeing space failed"
cmp -s "$mnt/photo" "$work/earlier.png" && fail "save after freeing space did not replace the file"

[ "$failures" -eq 0 ] && echo "full-disk saves: all reported, nothing lost"
exit $((failures > 0))
