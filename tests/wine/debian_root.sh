#!/usr/bin/env bash
# The Debian 13 (trixie) root in which the Wine tier runs Wine 10, made once per
# machine with debootstrap and kept outside the clone:
#
#   tests/wine/debian_root.sh
#
# Makes the root when it is missing or unfinished, then installs into it what
# is missing of Wine 10, DXVK and Mesa (OpenGL and lavapipe), all 64-bit: no
# i386 package is ever installed in it. For Wine's WoW64 mode (32-bit Windows
# code in a 64-bit process) the 32-bit PE DLLs of libwine:i386 of the root's
# own Wine version, and dxvk-wine32's DLLs of its DXVK version, are downloaded
# (tests/wine/debian_download.sh) and unpacked with dpkg-deb -x beside the
# 64-bit ones (usr/lib/x86_64-linux-gnu/wine/i386-windows, usr/lib/dxvk/wine32);
# a stamp file records which versions. Prints "wow64: ok" or
# "wow64: not run: <why>", then the root's path as the last line.
#
# Every step that mounts anything runs in a private mount namespace (unshare,
# tests/wine/in_root.sh), so nothing stays mounted inside the root on the
# machine, whatever ends it; a root is deleted (an unfinished one is remade)
# only after findmnt shows nothing mounted inside it, with rm --one-file-system.
#
# Exit status: 0 done; 3 the root cannot be had here (not root, no mount
# namespace, a package the archive does not give), with the reason as the last
# line; 1 any other failure. Several runs on one machine (other clones) wait
# for each other (flock).
#
# Environment:
#   LIGHTVOL_WINE_CACHE   where the root lives (default /var/cache/lightvol)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache=${LIGHTVOL_WINE_CACHE:-/var/cache/lightvol}
rootfs=$cache/wine10-wow64-root
mirror=http://deb.debian.org/debian
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

say() { printf 'debian root: %s\n' "$*" >&2; }
no_rights() { echo "$*"; exit 3; }
die() { say "$*"; exit 1; }

[[ $(id -u) -eq 0 ]] || no_rights "needs root for debootstrap, chroot and mounts (running as uid $(id -u))"
unshare --mount --propagation private true 2>/dev/null ||
  no_rights "cannot make a private mount namespace (unshare --mount failed)"

# Anything mounted at or under the directory, as this namespace sees it.
mounted_inside() {
  findmnt -rn -o TARGET | awk -v d="$1" '$0 == d || index($0, d "/") == 1'
}
remove_root() {
  local dir=$1 mounts
  [[ -e $dir ]] || return 0
  mounts=$(mounted_inside "$dir")
  [[ -z $mounts ]] || die "not deleting $dir: mounted inside it: ${mounts//$'\n'/ }"
  rm -rf --one-file-system "$dir"
}

mkdir -p "$cache"
exec 9>"$rootfs.lock"
flock -w 1800 9 || die "another run held $rootfs.lock for 30 minutes"

# shellcheck source=tools/apt-packages.sh
source "$here/../../tools/apt-packages.sh"
# shellcheck source=tests/wine/debian_download.sh
source "$here/debian_download.sh"
APT_PACKAGES_LOG=$rootfs.host-apt.log apt_packages_install debootstrap debian-archive-keyring ||
  no_rights "installing debootstrap: $apt_error"

if [[ ! -f $rootfs/.lightvol-bootstrapped ]]; then
  remove_root "$rootfs"
  remove_root "$rootfs.partial"
  say "debootstrap trixie into $rootfs (once per machine)"
  # debootstrap mounts /proc and /sys inside the root while it works: in a
  # namespace of its own those mounts cannot outlive it.
  # A mirror in sync gets a second try.
  for attempt in 1 2; do
    timeout 1800 unshare --mount --propagation private -- \
      debootstrap --variant=minbase --keyring="$keyring" trixie "$rootfs.partial" "$mirror" \
      >"$rootfs.debootstrap.log" 2>&1 && break
    if ((attempt == 2)) || ! debian_transient "$rootfs.debootstrap.log"; then
      no_rights "debootstrap failed: $(grep -E '^(E|W): ' "$rootfs.debootstrap.log" | tail -n1) (log: $rootfs.debootstrap.log)"
    fi
    remove_root "$rootfs.partial"
    sleep "${APT_PACKAGES_PAUSE:-60}"
  done
  touch "$rootfs.partial/.lightvol-bootstrapped"
  mv "$rootfs.partial" "$rootfs"
fi

packages=(wine wine64 dxvk-wine64 libvulkan1 mesa-vulkan-drivers vulkan-tools
          libgl1 libglx-mesa0 libgl1-mesa-dri)
# in_root.sh runs in the caller's directory, which must lie under /tmp.
cd /tmp
APT_PACKAGES_IN="$here/in_root.sh $rootfs" APT_PACKAGES_LOG=$rootfs.apt.log apt_packages_install "${packages[@]}" ||
  no_rights "installing into the Debian 13 root: $apt_error (log: $rootfs.apt.log)"
(cd /tmp && "$here/in_root.sh" "$rootfs" apt-get clean) >/dev/null 2>&1 || true

# WoW64: the 32-bit PE DLLs of the root's own Wine and DXVK versions, unpacked
# beside the 64-bit ones. Nothing of them runs as a Linux program.
version_of() { dpkg-query --admindir="$rootfs/var/lib/dpkg" -W -f='${Version}' "$1" 2>/dev/null; }
wine_version=$(version_of libwine)
dxvk_version=$(version_of dxvk-wine64)
stamp="libwine:i386 $wine_version, dxvk-wine32 $dxvk_version"
wow64_dlls() {
  local unpack
  debian_unpack unpack "$cache" trixie libwine:i386 "$wine_version" || return 1
  cp -a "$unpack/usr/lib/i386-linux-gnu/wine/i386-windows/." "$rootfs/usr/lib/x86_64-linux-gnu/wine/i386-windows/"
  rm -rf "$unpack"
  debian_unpack unpack "$cache" trixie dxvk-wine32:i386 "$dxvk_version" || return 1
  mkdir -p "$rootfs/usr/lib/dxvk/wine32"
  cp -a "$unpack/usr/lib/dxvk/wine32/." "$rootfs/usr/lib/dxvk/wine32/"
  rm -rf "$unpack"
  echo "$stamp" >"$rootfs/.lightvol-wow64"
}
if [[ $(cat "$rootfs/.lightvol-wow64" 2>/dev/null) == "$stamp" ]]; then
  echo "wow64: ok"
elif say "unpacking $stamp into the root (WoW64)" && wow64_dlls; then
  echo "wow64: ok"
else
  echo "wow64: not run: $debian_error"
fi
say "ready in $SECONDS s"
echo "$rootfs"
