#!/bin/sh
# The whole test suite on a fresh Debian machine: installs what is missing (as root; an
# ordinary user is told which packages to install), builds everything and runs ctest.
. "$(dirname "$0")/prepare.sh" cmake g++ make libgtest-dev python3 valgrind libgdal-dev
cmake --build build -j2 && ctest --test-dir build --output-on-failure -j2
