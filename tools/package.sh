#!/usr/bin/env bash
# Builds the Debian package of the program with CPack: the two executables,
# the desktop entry, icons, AppStream metainfo, manual pages, the recorder's
# systemd unit, user and settings template, and the documents (see dist/ and
# the CPack settings in CMakeLists.txt). Depends is worked out by
# dpkg-shlibdeps from the libraries the binary links. Prints the path of the
# .deb as its last line.
#
# Assumes the packages of tools/install-deps.sh are installed.
#   PACKAGE_BUILD_DIR  build directory of the package (default build-package)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${PACKAGE_BUILD_DIR:-build-package}

# Debian's own compiler and linker flags, with every hardening feature, as
# dpkg-buildpackage would give them. CMake takes them from the environment
# when it first configures the build directory.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CXXFLAGS="$CXXFLAGS $CPPFLAGS"

# Only the programs are built: the tests, benchmarks and tools go into no package.
# The prefix is the package's, so that the recorder's unit names /usr/bin and /etc.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DZELMAR_BUILD_TESTS=OFF \
    -DZELMAR_BUILD_BENCHMARKS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target zelmar-mqtt-client zelmar-recorder dist_texts
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)

debs=("$build"/*.deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "package: CPack made no single .deb in $build" >&2
    exit 1
fi
echo "${debs[0]}"
