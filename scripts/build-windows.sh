#!/usr/bin/env bash
# Cross-compiles build-windows/kavelo.exe: 64-bit Windows, statically linked
# (it needs no DLL but the system's), with Debian's mingw-w64. TLS is OpenSSL,
# built static from Debian's source package into build-windows/openssl once.
# Installs what it needs with apt; wine (and wine64) runs the result on Linux.
set -euo pipefail
cd "$(dirname "$0")/.."

OUT=${KAVELO_WINDOWS_BUILD:-build-windows}
HOST=x86_64-w64-mingw32
./scripts/deps.sh g++-mingw-w64-x86-64-posix cmake make perl dpkg-dev wine wine64
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
OPENSSL=$OUT/openssl
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

# Debian's source packages are listed beside its binary ones.
add_source_entries() {
  echo "Adding deb-src entries for Debian's source packages"
  local list=/etc/apt/sources.list.d/kavelo-deb-src
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee "$list.sources" >/dev/null
  fi
  if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $SUDO tee "$list.list" >/dev/null
  fi
  $SUDO apt-get update -q
}

# Unpacks (and patches) Debian's openssl source in the current directory.
# A pocket that lists a version without serving it is passed over.
fetch_openssl_source() {
  apt-cache showsrc openssl 2>/dev/null | grep -q '^Version:' || add_source_entries
  apt-get source -q openssl 2>/dev/null && return 0
  local version
  for version in $(apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -rV); do
    echo "Trying Debian's openssl source $version" >&2
    apt-get source -q "openssl=$version" 2>/dev/null && return 0
  done
  echo "build-windows.sh: could not fetch Debian's openssl source" >&2
  return 1
}

if [ ! -f "$OPENSSL/lib/libssl.a" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && fetch_openssl_source >/dev/null)
  src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -1)
  # Only what a TLS 1.2/1.3 client needs. The program never reads an
  # openssl.cnf; the directory OpenSSL would name is one that only
  # administrators can write.
  echo "Building OpenSSL ($(basename "$src")) for $HOST; its log: $OUT/openssl-build.log"
  (cd "$src" && ./Configure mingw64 --cross-compile-prefix=$HOST- \
      --prefix="$OPENSSL" --libdir=lib --openssldir="C:/Program Files/Common Files/SSL" \
      no-shared no-tests no-module no-legacy no-engine no-dso no-autoload-config \
      no-comp no-dtls no-ssl3 no-tls1 no-tls1_1 no-srp no-psk no-srtp no-async \
      no-idea no-camellia no-seed no-whirlpool no-mdc2 no-rc2 no-rc4 no-rc5 no-md4 \
      no-bf no-cast no-des no-dsa no-gost no-aria no-sm2 no-sm3 no-sm4 no-siphash \
      no-cms no-ts no-ct no-ocsp no-ui-console &&
    make -s -j"$(nproc)" build_libs && make -s install_dev) >"$OUT/openssl-build.log" 2>&1 ||
    { tail -30 "$OUT/openssl-build.log"; exit 1; }
  rm -rf "$work"
  trap - EXIT
fi

cmake -S . -B "$OUT" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_FIND_ROOT_PATH="$OPENSSL" -DKAVELO_TESTS=OFF -DKAVELO_WERROR="${KAVELO_WERROR:-OFF}"
cmake --build "$OUT" -j"$(nproc)" --target kavelo
ls -l "$OUT/kavelo.exe"
