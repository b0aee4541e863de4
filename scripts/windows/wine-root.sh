# Sourced by scripts/test-windows: a Debian 13 (trixie) root with Wine 10, Xvfb and a Song-style
# Chinese font, in which the Windows build runs. Debian 12's Wine 8.0 never hands a Windows
# program the bytes received on a pseudo-terminal; Debian 13's Wine 10 does with the
# modem-status shim of tests/windows/pty_modem_shim.c.
#
# The root is built once by mmdebstrap (about two minutes) and kept as a tarball under
# $KARVELLO_CACHE; every test run unpacks a fresh copy, so no state (registry, queued bytes,
# stray wineserver) leaks from one run into the next.

WINE_ROOT_PACKAGES=(wine wine64 xvfb xauth x11-utils fonts-arphic-uming fonts-dejavu-core)
WINE_ROOT_SUITE=trixie
WINE_ROOT_MIRROR="${WINE_ROOT_MIRROR:-http://deb.debian.org/debian}"

wine_root_key() {
  printf '%s\n' "$WINE_ROOT_SUITE" "${WINE_ROOT_PACKAGES[@]}" "wineprefix-v1" | sha256sum | cut -c1-12
}

# in_root ROOT CMD...: runs CMD in ROOT with /dev, /proc and /sys of the machine, in a mount
# namespace of its own (the mounts go away with the last process in it).
in_root() {
  local root="$1"
  shift
  unshare --mount --propagation private -- /bin/sh -c '
    root="$1"; shift
    mount --rbind /dev "$root/dev" && mount -t proc proc "$root/proc" &&
      mount --rbind /sys "$root/sys" || exit 97
    exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin \
      LANG=C.UTF-8 "$@"' sh "$root" "$@"
}

# wine_root_tarball: prints the path of the cached tarball, building it first when missing.
# (It runs in a command substitution, where set -e does not hold: every step checks its own
# status, so that a failed build is never cached.)
wine_root_tarball() {
  local key tarball
  key="$(wine_root_key)"
  tarball="$KARVELLO_CACHE/wine-$WINE_ROOT_SUITE-$key.tar"
  if [ -f "$tarball" ]; then
    echo "$tarball"
    return 0
  fi
  install_packages mmdebstrap >&2 || return 1
  local root="$KARVELLO_CACHE/wine-build-$key"
  rm -rf "$root" && mkdir -p "$root" || return 1
  {
    echo "Building the Wine root ($WINE_ROOT_SUITE, ${WINE_ROOT_PACKAGES[*]}) in $root ..."
    # One apt run fetches and installs everything, where debootstrap took several minutes
    # installing the base system package by package.
    mmdebstrap --variant=minbase --include="$(IFS=,; echo "${WINE_ROOT_PACKAGES[*]}")" \
      "$WINE_ROOT_SUITE" "$root" "$WINE_ROOT_MIRROR" &&
    # The Wine prefix, made once: no Mono or Gecko (nothing here needs them), no COM ports but
    # those a test maps.
    in_root "$root" /bin/sh -c '
      Xvfb :91 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 & xvfb=$!
      export DISPLAY=:91 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
      wine wineboot -i && wineserver -w; status=$?
      kill $xvfb
      [ -f /root/.wine/system.reg ] && exit $status'
  } >&2 || { echo "The Wine root could not be built" >&2; rm -rf "$root"; return 1; }
  tar -C "$root" -cf "$tarball.part" . && mv "$tarball.part" "$tarball" || return 1
  rm -rf "$root"
  echo "$tarball"
}

# wine_root_fresh DIR: a fresh copy of the Wine root in DIR.
wine_root_fresh() {
  local dir="$1" tarball
  tarball="$(wine_root_tarball)" || return 1
  rm -rf "$dir"
  mkdir -p "$dir"
  tar -C "$dir" -xf "$tarball"
}
