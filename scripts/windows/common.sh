# Shared by scripts/package-windows and scripts/test-windows (sourced, not run): where the cross
# Qt for Windows lives, and how to install Debian packages idempotently.
#
# The caches live outside the checkout, under $KARVELLO_CACHE (default /var/cache/karvello), so
# that a fresh clone, `git clean` and CI runs reuse them.

KARVELLO_CACHE="${KARVELLO_CACHE:-/var/cache/karvello}"
QT_VERSION=6.4.2
MINGW_TRIPLET=x86_64-w64-mingw32

# The vendored Qt Serial Port source (Debian's tarball is not reachable from these machines).
QT_SERIALPORT_TARBALL_DEFAULT="${QT_SERIALPORT_TARBALL_DEFAULT:-$REPO/../shared/vendor/qtserialport-everywhere-src-6.4.2.tar.xz}"
QT_SERIALPORT_SHA256_DEFAULT=682626d3ae07074df0f707dab880f1eab1c133a04d5bed688a3ec63af305ae89

# The prebuilt cross Qt: a cache folder packed whole (qt-<version>-win64-<key>.tar.xz, holding
# the folder qt-<version>-win64-<key>/), looked for beside the vendored sources. One is used only
# when its name carries the key computed below and its sha256 is the one listed here, so a change to
# the flags, the toolchain file or the Serial Port source falls back to a build from source.
# KARVELLO_QT_FROM_SOURCE=1 never uses it (and rebuilds a cached Qt that came from one).
QT_PREBUILT_DIR="${QT_PREBUILT_DIR:-$REPO/../shared/vendor}"
declare -A QT_PREBUILT_SHA256=(
  [qt-6.4.2-win64-d64c93d3e2dbd650.tar.xz]=16d0bd7630676930820760eaea2382232a9be0d98b4cd9b0f1f60222a6ef0045
  [qt-6.4.2-win64-8adfbe231c8513bf.tar.xz]=f8b34a730b16756ec0128ae2cfc001c3c5af0fa9e8e2f412a3f3866bb0614605
)

# The configure flags of the cross Qt base. Changing any of them (or the toolchain file, or the
# Serial Port source) gives a new cache key, so a stale Qt is never reused.
QT_BASE_FLAGS=(
  -DCMAKE_BUILD_TYPE=Release
  -DQT_HOST_PATH=/usr
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
  -DQT_QMAKE_TARGET_MKSPEC=win32-g++
  -DBUILD_SHARED_LIBS=ON
  -DQT_BUILD_EXAMPLES=OFF
  -DQT_BUILD_TESTS=OFF
  -DFEATURE_system_zlib=OFF
  -DFEATURE_system_pcre2=OFF
  -DFEATURE_system_harfbuzz=OFF
  -DFEATURE_system_png=OFF
  -DFEATURE_sql=OFF
  -DFEATURE_network=ON
  -DFEATURE_dbus=OFF
  -DFEATURE_opengl=OFF
  -DINPUT_opengl=no
  -DFEATURE_printsupport=OFF
  -DFEATURE_concurrent=OFF
  -DFEATURE_xml=OFF
  -DFEATURE_vulkan=OFF
  -DFEATURE_icu=OFF
  -DFEATURE_zstd=OFF
  -DFEATURE_jpeg=OFF
  # Debian's source drops the Wintab headers that tablet events need.
  -DFEATURE_tabletevent=OFF
)

# How Karvello itself is configured for Windows (after the Qt toolchain). -O2 rather than CMake's
# -O3: GCC 12 at -O3 warns falsely (-Wrestrict) about std::string concatenation.
karvello_windows_cmake_args() {
  printf '%s\n' -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
    "-DCMAKE_TOOLCHAIN_FILE=$1/lib/cmake/Qt6/qt.toolchain.cmake" \
    "-DQT_CHAINLOAD_TOOLCHAIN_FILE=$REPO/cmake/mingw-w64-x86_64.cmake"
}

# install_packages PKG...: installs the packages not yet installed (apt-get update first, once).
install_packages() {
  local missing=() p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends \
    "${missing[@]}"
}

# as_root CMD...: runs a command as root (through sudo when needed).
as_root() {
  if [ "$(id -u)" -ne 0 ]; then sudo "$@"; else "$@"; fi
}

# qt_cache_key TARBALL_SHA256: a short hash of everything the cross Qt is built from.
qt_cache_key() {
  {
    printf '%s\n' "$QT_VERSION" "$1" "${QT_BASE_FLAGS[@]}"
    cat "$REPO/cmake/mingw-w64-x86_64.cmake"
  } | sha256sum | cut -c1-16
}

# qt_prebuilt_tarball KEY: prints the path of the prebuilt cross Qt for KEY and returns 0 when one
# is there with its listed sha256; otherwise says why on standard error and returns 1.
qt_prebuilt_tarball() {
  local name="qt-$QT_VERSION-win64-$1.tar.xz"
  local path expected actual
  path="$(realpath -m "$QT_PREBUILT_DIR/$name")"
  if [ ! -f "$path" ]; then
    echo "No prebuilt cross Qt at $path" >&2
    return 1
  fi
  expected="${QT_PREBUILT_SHA256[$name]:-}"
  if [ -z "$expected" ]; then
    echo "No sha256 is listed for the prebuilt cross Qt $name: not using it" >&2
    return 1
  fi
  actual="$(sha256sum "$path" | cut -d' ' -f1)"
  if [ "$actual" != "$expected" ]; then
    echo "The prebuilt cross Qt $path has sha256 $actual, expected $expected: not using it" >&2
    return 1
  fi
  echo "$path"
}
