#!/usr/bin/env bash
# Builds vornix_<version>_amd64.deb the way Debian builds a CMake package: the distribution's
# compiler, preprocessor and linker flags, the build type None, umask 0022, and every file dated
# by SOURCE_DATE_EPOCH (by default the date of the latest entry in packaging/changelog), so that
# two builds of one source give the same bytes.
# Needs: dpkg-dev (dpkg-buildflags), CMake and g++; not root; it builds everything itself.
# Usage: packaging/build-deb.sh BUILD_DIR [CMAKE_OPTION...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: packaging/build-deb.sh BUILD_DIR [CMAKE_OPTION...]}
shift
umask 0022
SOURCE_DATE_EPOCH=$(packaging/source-date-epoch)
export SOURCE_DATE_EPOCH
export DEB_BUILD_MAINT_OPTIONS=${DEB_BUILD_MAINT_OPTIONS:-hardening=+all}
# CMake reads no CPPFLAGS, so they join the compiler flags, as debhelper does; among them is
# -D_FORTIFY_SOURCE.
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=None "$@"
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -G DEB)
