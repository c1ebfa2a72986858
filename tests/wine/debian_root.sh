#!/usr/bin/env bash
# The Debian 13 (trixie) root in which the Wine tier runs Wine 10, made once per
# machine with debootstrap and kept outside the clone:
#
#   tests/wine/debian_root.sh [--i386]
#
# Makes the root when it is missing or unfinished, then installs into it what
# is missing of Wine 10, DXVK and Mesa (OpenGL and lavapipe), with their i386
# halves when --i386 is given (for machines that execute 32-bit programs).
# Prints the root's path as the last line. Every step that mounts anything runs
# in a private mount namespace (unshare, tests/wine/in_root.sh), so nothing
# stays mounted inside the root on the machine, whatever ends it; a root is
# deleted (an unfinished one is remade) only after findmnt shows nothing
# mounted inside it, with rm --one-file-system.
#
# Exit status: 0 done; 3 the machine gives no rights for this (not root, no
# mount namespace), with the reason as the last line; 1 any other failure.
# Several runs on one machine (other clones) wait for each other (flock).
#
# Environment:
#   LIGHTVOL_WINE_CACHE   where the root lives (default /var/cache/lightvol)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache=${LIGHTVOL_WINE_CACHE:-/var/cache/lightvol}
rootfs=$cache/wine10-root
mirror=http://deb.debian.org/debian
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
with_i386=0
[[ ${1:-} == --i386 ]] && with_i386=1

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
exec 9>"$cache/wine10-root.lock"
flock -w 1800 9 || die "another run held $cache/wine10-root.lock for 30 minutes"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
if ! command -v debootstrap >/dev/null || ! installed debian-archive-keyring; then
  say "installing debootstrap"
  export DEBIAN_FRONTEND=noninteractive
  timeout 900 apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null || die "apt-get update failed"
  timeout 900 apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends \
    debootstrap debian-archive-keyring >/dev/null || die "installing debootstrap failed"
fi

if [[ ! -f $rootfs/.lightvol-bootstrapped ]]; then
  remove_root "$rootfs"
  remove_root "$rootfs.partial"
  say "debootstrap trixie into $rootfs (once per machine)"
  # debootstrap mounts /proc and /sys inside the root while it works: in a
  # namespace of its own those mounts cannot outlive it.
  timeout 1800 unshare --mount --propagation private -- \
    debootstrap --variant=minbase --keyring="$keyring" trixie "$rootfs.partial" "$mirror" \
    >"$cache/wine10-root.debootstrap.log" 2>&1 ||
    die "debootstrap failed (log: $cache/wine10-root.debootstrap.log)"
  touch "$rootfs.partial/.lightvol-bootstrapped"
  mv "$rootfs.partial" "$rootfs"
fi

packages=(wine wine64 dxvk-wine64 libvulkan1 mesa-vulkan-drivers vulkan-tools
          libgl1 libglx-mesa0 libgl1-mesa-dri)
((with_i386)) && packages+=(wine32:i386 dxvk-wine32:i386 libvulkan1:i386 mesa-vulkan-drivers:i386
                            libgl1:i386 libglx-mesa0:i386 libgl1-mesa-dri:i386)
missing=()
for p in "${packages[@]}"; do
  chroot "$rootfs" dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done
if ((${#missing[@]})); then
  say "installing into the root: ${missing[*]}"
  add_i386=:
  ((with_i386)) && add_i386="dpkg --add-architecture i386"
  # in_root.sh runs in the caller's directory, which must lie under /tmp.
  (cd /tmp && timeout 1800 "$here/in_root.sh" "$rootfs" /bin/sh -c "
    set -e
    export DEBIAN_FRONTEND=noninteractive
    $add_i386
    apt-get update -q
    apt-get install -y -q --no-install-recommends \"\$@\"
    apt-get clean" root-apt "${missing[@]}") >"$cache/wine10-root.apt.log" 2>&1 ||
    die "installing ${missing[*]} into the root failed (log: $cache/wine10-root.apt.log)"
fi
say "ready in $SECONDS s"
echo "$rootfs"
