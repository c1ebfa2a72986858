#!/usr/bin/env bash
# Runs a command inside a Debian root (made by tests/wine/debian_root.sh), in the
# caller's working directory:
#
#   tests/wine/in_root.sh ROOT COMMAND [ARGS...]
#
# The command gets its own mount namespace with /proc, /sys, /dev and /tmp (the
# X server's socket and the tier's temporary directory) mounted into ROOT. The
# mounts exist only in that namespace, so they are gone when the last process
# in it ends, whatever ends it: nothing is ever left mounted inside ROOT on the
# machine. The caller's directory must lie under /tmp. Exits 125 with a message
# when the namespace or a mount cannot be made.
set -euo pipefail

if [[ ${1:-} != --inside ]]; then
  (($# >= 2)) || { echo "usage: $0 ROOT COMMAND [ARGS...]" >&2; exit 2; }
  # Without --fork, unshare executes the script itself in the new namespace:
  # the command keeps this process's id, so a caller's timeout reaches it.
  exec unshare --mount --propagation private -- "$0" --inside "$PWD" "$@"
fi

cwd=$2
rootfs=$3
shift 3
fail() { echo "in_root: $*" >&2; exit 125; }
[[ -d $rootfs/usr ]] || fail "$rootfs is not a Debian root"
mount -t proc proc "$rootfs/proc" || fail "cannot mount /proc in $rootfs"
mount -t sysfs sysfs "$rootfs/sys" || fail "cannot mount /sys in $rootfs"
mount --rbind /dev "$rootfs/dev" || fail "cannot bind /dev into $rootfs"
mount --bind /tmp "$rootfs/tmp" || fail "cannot bind /tmp into $rootfs"
exec chroot "$rootfs" /usr/bin/env --chdir="$cwd" "$@"
