#!/bin/sh
# The demo session under valgrind's memcheck: no error and no leak at exit.
# Usage: valgrind_demo.sh <dem_varnel> <examples directory>
set -e
program=$1
examples=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cp -r "$examples/demo" "$root/demo"
rm -f "$root"/demo/*_varnel*
DEM_VARNEL_ROOT=$root valgrind --quiet --error-exitcode=1 --leak-check=full --show-leak-kinds=all \
  --errors-for-leak-kinds=all --suppressions="$(dirname "$0")/valgrind.supp" "$program" < "$examples/demo.answers" > "$root/transcript"
test -s "$root/demo/valley_varnel_m2.raw"
