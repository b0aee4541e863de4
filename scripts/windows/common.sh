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

# OpenSSL for Windows (libmosquitto's TLS): the upstream source of Debian 12's OpenSSL, vendored
# (its Debian files do not download here), built by scripts/windows/build-openssl.
OPENSSL_VERSION=3.0.22
OPENSSL_TARBALL="${OPENSSL_TARBALL:-$REPO/../shared/vendor/openssl_$OPENSSL_VERSION.orig.tar.gz}"
OPENSSL_SHA256=67ebca7e50d17383028045486653492195b83db95f8558709701bb47b5c1ef81
OPENSSL_FLAGS=(mingw64 "--cross-compile-prefix=$MINGW_TRIPLET-" no-tests shared)

# libmosquitto for Windows (the MQTT client of `karvello-cli.exe watch --mqtt`): the source of
# Debian's own mosquitto package, the version of the installed libmosquitto-dev, built by
# scripts/windows/build-libmosquitto against the OpenSSL above. The library alone: no broker,
# clients, plugins or manuals.
MOSQUITTO_FLAGS=(
  -DCMAKE_BUILD_TYPE=Release
  -DWITH_TLS=ON
  -DWITH_TLS_PSK=ON
  -DWITH_THREADING=OFF
  -DWITH_BROKER=OFF
  -DWITH_CLIENTS=OFF
  -DWITH_APPS=OFF
  -DWITH_PLUGINS=OFF
  -DWITH_CJSON=OFF
  -DDOCUMENTATION=OFF
  -DWITH_STATIC_LIBRARIES=OFF
  -DWITH_LIB_CPP=OFF
  -DWITH_SRV=OFF
)

# openssl_cache_key: a short hash of everything OpenSSL for Windows is built from.
openssl_cache_key() {
  { printf '%s\n' "$OPENSSL_VERSION" "$OPENSSL_SHA256" "${OPENSSL_FLAGS[@]}"
    "$MINGW_TRIPLET-gcc" --version | head -n1; } | sha256sum | cut -c1-16
}

# mosquitto_cache_key SOURCE_SHA256 OPENSSL_PREFIX: the same for libmosquitto (its source, its
# flags, the toolchain file and the OpenSSL it links).
mosquitto_cache_key() {
  { printf '%s\n' "$1" "$(basename "$2")" "${MOSQUITTO_FLAGS[@]}"
    cat "$REPO/cmake/mingw-w64-x86_64.cmake"; } | sha256sum | cut -c1-16
}

# How Karvello itself is configured for Windows (after the Qt toolchain), with the cross Qt in
# QT_PREFIX, libmosquitto in MOSQUITTO_PREFIX (the gateway's MQTT) and OpenSSL in OPENSSL_PREFIX
# (its TLS, which also tells why a certificate failed; CMake's FindOpenSSL reads SSL_EAY and LIB_EAY
# for MinGW) and cpp-httplib's header in HTTPLIB_PREFIX (the gateway's page):
#   karvello_windows_cmake_args QT_PREFIX MOSQUITTO_PREFIX OPENSSL_PREFIX HTTPLIB_PREFIX
# -O2 rather than CMake's -O3: GCC 12 at -O3 warns falsely (-Wrestrict) about std::string
# concatenation.
karvello_windows_cmake_args() {
  printf '%s\n' -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
    "-DCMAKE_TOOLCHAIN_FILE=$1/lib/cmake/Qt6/qt.toolchain.cmake" \
    "-DQT_CHAINLOAD_TOOLCHAIN_FILE=$REPO/cmake/mingw-w64-x86_64.cmake" \
    "-DMOSQUITTO_INCLUDE_DIR=$2/include" "-DMOSQUITTO_LIBRARY=$2/lib/libmosquitto.dll.a" \
    "-DOPENSSL_INCLUDE_DIR=$3/include" "-DOPENSSL_SSL_LIBRARY=$3/lib/libssl.dll.a" \
    "-DOPENSSL_CRYPTO_LIBRARY=$3/lib/libcrypto.dll.a" \
    "-DSSL_EAY=$3/lib/libssl.dll.a" "-DLIB_EAY=$3/lib/libcrypto.dll.a" \
    "-DCPP_HTTPLIB_INCLUDE_DIR=$4/include"
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

# A deb-src twin of every Debian source the machine already uses, whatever its files are called:
# deb822 stanzas (*.sources, as in Debian's images) and one-line entries (sources.list, *.list,
# as from Debian's installer). Nothing is written when there is nothing to twin.
deb_src_twin() {
  local f stanzas="" lines=""
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "${f##*/}" != karvello-deb-src.sources ] || continue
    stanzas+="$(sed -e 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb-src/' "$f")"$'\n\n'
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && [ "${f##*/}" != karvello-deb-src.list ] || continue
    lines+="$(sed -n 's/^deb\([[:space:]]\)/deb-src\1/p' "$f")"$'\n'
  done
  if [[ "$stanzas" != *Types:* ]] && [[ "$lines" != *deb-src* ]]; then
    echo "No Debian apt sources in /etc/apt to take Qt base's source from." >&2
    return 1
  fi
  as_root rm -f /etc/apt/sources.list.d/karvello-deb-src.sources \
    /etc/apt/sources.list.d/karvello-deb-src.list
  if [[ "$stanzas" == *Types:* ]]; then
    printf '%s' "$stanzas" | as_root tee /etc/apt/sources.list.d/karvello-deb-src.sources >/dev/null
  fi
  if [[ "$lines" == *deb-src* ]]; then
    printf '%s' "$lines" | as_root tee /etc/apt/sources.list.d/karvello-deb-src.list >/dev/null
  fi
}
# debian_source PACKAGE VERSION: prints the folder of Debian's source package PACKAGE=VERSION,
# unpacked with Debian's patches under $KARVELLO_CACHE/src, fetching it first when that version's
# .dsc is missing. Its .dsc (which lists the sha256 of every file of the source) is beside it.
debian_source() {
  local srcdir="$KARVELLO_CACHE/src" version="${2#*:}" upstream
  upstream="${version%-*}"
  upstream="${upstream%+dfsg*}"
  if [ ! -f "$srcdir/${1}_$version.dsc" ] ||
     ! compgen -G "$srcdir/$1-$upstream*/CMakeLists.txt" >/dev/null; then
    if [ ! -s /etc/apt/sources.list.d/karvello-deb-src.sources ] &&
       [ ! -s /etc/apt/sources.list.d/karvello-deb-src.list ]; then
      deb_src_twin || return 1
      as_root apt-get update -q >&2 || return 1
    fi
    mkdir -p "$srcdir"
    # Another version of the same upstream unpacks into the same folder.
    rm -rf "$srcdir/$1-$upstream"*/
    (cd "$srcdir" && apt-get source -q "$1=$2") >&2 || return 1
  fi
  ls -d "$srcdir/$1-$upstream"*/ | head -n1
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
