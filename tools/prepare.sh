#!/bin/sh
# Sourced by tools/demo.sh and tools/test.sh: installs the Debian packages the build needs
# that are missing (as root), or names them (otherwise), then configures and builds
# into build/. Arguments: the packages that must be there.
missing=""
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $package"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq --no-install-recommends $missing || exit 1
  else
    echo "dem_varnel: these Debian packages are missing:$missing" >&2
    echo "dem_varnel: install them (sudo apt-get install$missing) and run this again" >&2
    exit 1
  fi
fi
cd "$(dirname "$0")/.." || exit 1
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null || exit 1
