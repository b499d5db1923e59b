#!/bin/sh
# make_terrain: the demo DEM made again byte for byte, every unusable argument refused
# with status 2 and nothing written, and a write onto a full device failing with status 1.
# Usage: make_terrain_args.sh <make_terrain> <examples directory>
set -u
tool=$1
examples=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
trap 'exit 1' INT TERM HUP
status=0
ulimit -f 4096  # a size taken wrongly must fail here, not fill the disk

"$tool" 120 160 raw16 "$dir/valley" --unit 1 --pixel 25 &&
  cmp "$dir/valley_m2.raw" "$examples/demo/valley_m2.raw" &&
  cmp "$dir/valley_m2.txt" "$examples/demo/valley_m2.txt" || { echo "demo differs"; status=1; }

refused() {
  rm -f "$dir"/s*
  "$tool" "$@" 2>"$dir/err"
  code=$?
  if [ $code -ne 2 ] || ! grep -q '^make_terrain: ' "$dir/err" || ls "$dir"/s* >/dev/null 2>&1; then
    echo "not refused cleanly (status $code): $*"
    status=1
  fi
}
s=$dir/s
refused 10 10 raw16
refused x 10 raw16 "$s"
refused 10 10x raw16 "$s"
refused 0 10 raw16 "$s"
refused 10 -3 raw16 "$s"
refused 99999999999999999999 10 raw16 "$s"
refused 2147483648 10 raw16 "$s"
refused 2147483647 2147483647 ascii "$s"
refused 10 10 raw8 "$s"
refused 10 10 raw16 "$s" --unit 4
refused 10 10 raw16 "$s" --unit 4294967296
refused 10 10 raw16 "$s" --pixel 0
refused 10 10 raw16 "$s" --seed -1
refused 10 10 raw16 "$s" --colour 2
refused 10 10 raw16 "$s" --unit 1 --pixel

if [ -w /dev/full ]; then
  ln -s /dev/full "$dir/f_m2.raw"
  "$tool" 10 10 raw16 "$dir/f" 2>/dev/null
  code=$?
  if [ $code -ne 1 ] || [ -e "$dir/f_m2.txt" ]; then
    echo "a full device gave status $code"
    status=1
  fi
fi
exit $status
