#!/usr/bin/env bash
# Installs what the tests need, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test: unit, end to end (test
# server and nginx), fuzzing for a short time; then the end-to-end tests
# again against the plain build, and the Windows build's under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh build-essential cmake libgtest-dev python3 \
  nginx-light libnginx-mod-rtmp flvmeta \
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly \
  clang libclang-rt-14-dev valgrind \
  libssl-dev openssl ca-certificates stunnel4 util-linux \
  groff-base mandoc dpkg-dev file lintian \
  g++-mingw-w64-x86-64-posix wine wine64
./scripts/node_deps.sh

# A plain build for the test that runs kavelo under valgrind, and the one the
# Debian package is made from.
cmake -S . -B build-plain -DKAVELO_TESTS=OFF -DKAVELO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-plain -j"$(nproc)" --target kavelo

BUILD=${KAVELO_TEST_BUILD:-build-asan}
cmake -S . -B "$BUILD" -DKAVELO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVELO_PLAIN_BIN="$PWD/build-plain/kavelo"
cmake --build "$BUILD" -j"$(nproc)"
ctest --test-dir "$BUILD" --output-on-failure -j2 --timeout 900

# The end-to-end tests that run kavelo against the test server and nginx,
# once more against the plain build, the binary users get and the package is
# made from: a test whose verdict depends on how fast the binary runs shows
# here. Only the tests are added to that build; its binary stays as built.
# Left out, to keep CI short: the command line, node-media-server, the test
# server's own checks, and valgrind and the package, which used this binary
# above already.
cmake -S . -B build-plain -DKAVELO_TESTS=ON
cmake --build build-plain -j"$(nproc)" --target kavelo
ctest --test-dir build-plain -L e2e -E 'e2e_test_(cli|live_nms|server_codec|server_script|valgrind|install)$' \
  --output-on-failure -j2 --timeout 900

# kavelo.exe builds while the fuzz targets run, which take the same time
# however busy the machine is.
winbuild=""
if [ "${KAVELO_SKIP_WINDOWS:-0}" != 1 ]; then
  winlog=$(mktemp)
  KAVELO_WERROR=ON ./scripts/build-windows.sh >"$winlog" 2>&1 &
  winbuild=$!
fi

if [ -x scripts/fuzz.sh ] && [ "${KAVELO_SKIP_FUZZ:-0}" != 1 ]; then
  ./scripts/fuzz.sh
fi

if [ -n "$winbuild" ]; then
  if ! wait "$winbuild"; then
    echo "== The Windows build failed; the end of its log:"
    tail -60 "$winlog"
    exit 1
  fi
  tail -1 "$winlog"
  KAVELO_EXE="$PWD/build-windows/kavelo.exe" KAVELO_BIN="$PWD/build-plain/kavelo" \
    python3 tests/windows/test_wine.py -v
fi
echo "All tests passed."
