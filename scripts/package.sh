#!/usr/bin/env bash
# Builds the Debian package in build-package/ with Debian's hardening flags and prints its
# path: opmcast_VERSION_ARCH.deb. Install it with `apt install ./build-package/opmcast_*.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages cmake g++ make pkg-config gzip dpkg-dev zlib1g-dev libunicorn-dev \
    binutils-m68k-linux-gnu libsndfile1-dev libfftw3-dev libsoxr-dev
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# Debian links the C library and zlib dynamically, so that their security updates reach the
# converter. The prefix is the package's, /usr: opmcast looks for the player under it.
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DOPMCAST_TESTS=OFF -DOPMCAST_STATIC=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build-package -j "$(nproc)" >/dev/null
rm -f build-package/opmcast_*.deb
if ! (cd build-package && cpack -G DEB >cpack.log 2>&1); then
    cat build-package/cpack.log >&2
    exit 1
fi
ls "$PWD"/build-package/opmcast_*.deb
