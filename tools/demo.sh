#!/bin/sh
# The demo session on a fresh Debian machine: installs what is missing (as root; an
# ordinary user is told which packages to install), builds the program and answers the
# dialogue from examples/demo.answers. The result is examples/demo/valley_varnel_m2.raw
# with its descriptor.
. "$(dirname "$0")/prepare.sh" cmake g++ make libgdal-dev
cmake --build build -j2 --target dem_varnel >/dev/null || exit 1
DEM_VARNEL_ROOT=examples build/dem_varnel < examples/demo.answers
