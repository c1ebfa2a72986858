# DXVK for the Wine tier (sourced by tests/wine/prepare.sh, run.sh and
# cell_run.sh): Debian 13's DXVK packages fetched without touching the
# machine's apt sources, the check that a Vulkan device exists before Wine
# starts, and the check that a run really drew through DXVK on lavapipe.

# The dxvk-wine64 / dxvk-wine32 version the tier was proven with. When Debian's
# archive serves another (superseded versions disappear), that one is used and
# the summary says so.
dxvk_proven_version=2.6+ds-1
# The device DXVK must pick: Mesa's lavapipe, a CPU Vulkan device, even on a
# machine with a GPU (VK_ICD_FILENAMES names only lavapipe's ICD as well).
dxvk_device_name=llvmpipe

# dxvk_fetch CACHE_DIR ARCH: downloads dxvk-wine64 (x86_64) or dxvk-wine32
# (i686) from Debian 13 (tests/wine/debian_download.sh: a private sources list,
# signatures checked as usual), unpacks its d3d9.dll once per version under
# CACHE_DIR/dxvk/VERSION/wine64 or wine32 and sets dxvk_version and dxvk_d3d9.
# On failure returns 1 with the reason in dxvk_error.
dxvk_fetch() {
  local cache=$1 arch=$2 package bits
  [[ $arch == x86_64 ]] && bits=64 || bits=32
  package=dxvk-wine$bits:$([[ $arch == x86_64 ]] && echo amd64 || echo i386)
  dxvk_version=
  if ! debian_candidate dxvk_version "$cache" trixie "$package"; then
    dxvk_error=$debian_error
    return 1
  fi
  dxvk_d3d9=$cache/dxvk/$dxvk_version/wine$bits/d3d9.dll
  [[ -f $dxvk_d3d9 ]] && return 0
  local unpack
  if ! debian_unpack unpack "$cache" trixie "$package" "$dxvk_version"; then
    dxvk_error=$debian_error
    return 1
  fi
  mkdir -p "${dxvk_d3d9%/*}"
  # The package names its Windows DLLs *.dll.so.
  cp "$unpack/usr/lib/dxvk/wine$bits/d3d9.dll.so" "$dxvk_d3d9.partial" && mv "$dxvk_d3d9.partial" "$dxvk_d3d9"
  rm -rf "$unpack"
}

# vulkan_check RESULT_VAR ICD_FILE [COMMAND PREFIX...]: whether a Vulkan device
# named like $dxvk_device_name exists through ICD_FILE, asked on the Linux side
# before any Wine starts (vulkaninfo, bounded to 30 s). The command prefix runs
# vulkaninfo elsewhere (inside a Debian root). Sets RESULT_VAR to the device's
# name, or returns 1 with the reason in it.
vulkan_check() {
  local -n vk_result_=$1
  local icd=$2 out status=0
  shift 2
  if [[ ! -f $icd && ${1:-} == "" ]]; then
    vk_result_="no Vulkan device (no ICD file $icd)"
    return 1
  fi
  # Without DISPLAY: vulkaninfo gives up on every device when it cannot reach
  # the X server, which says nothing of Vulkan.
  out=$(VK_ICD_FILENAMES=$icd XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-/tmp} \
    timeout 30 env -u DISPLAY -u WAYLAND_DISPLAY "$@" vulkaninfo --summary 2>&1) || status=$?
  local vk_found_
  vk_found_=$(printf '%s\n' "$out" | sed -n 's/^[[:space:]]*deviceName[[:space:]]*=[[:space:]]*//p' |
    grep -m1 "$dxvk_device_name" || true)
  if [[ -z $vk_found_ ]]; then
    if ((status == 124)); then
      vk_result_="no Vulkan device (vulkaninfo did not finish in 30 s)"
    else
      vk_result_="no Vulkan device ($(printf '%s\n' "$out" | grep -v XDG_RUNTIME_DIR | grep -m1 -iE 'error|fail|cannot|not found' || echo "vulkaninfo lists no $dxvk_device_name device"))"
    fi
    return 1
  fi
  vk_result_=$vk_found_
}

# dxvk_log_check RESULT_VAR LOG_DIR: the DXVK log of one run must exist and name
# DXVK's version and the lavapipe device; sets RESULT_VAR to "DXVK <version> on
# <device>" or returns 1 with the reason.
dxvk_log_check() {
  local -n dxvk_result_=$1
  local dl_dir_=$2 dl_log_ dl_version_ dl_device_
  dl_log_=$(ls "$dl_dir_"/*_d3d9.log 2>/dev/null | head -n1 || true)
  if [[ -z $dl_log_ ]]; then
    dxvk_result_="no DXVK log in $dl_dir_: d3d9.dll was not DXVK's"
    return 1
  fi
  dl_version_=$(sed -n 's/^info: *DXVK: *\(v\?[0-9][0-9.]*\).*/\1/p' "$dl_log_" | head -n1)
  dl_device_=$(sed -n "s/^info: *\(${dxvk_device_name}[^:]*\):\$/\1/p" "$dl_log_" | head -n1)
  [[ -n $dl_device_ ]] || dl_device_=$(grep -m1 -o "Device *: *${dxvk_device_name}.*" "$dl_log_" | sed 's/^Device *: *//' || true)
  if [[ -z $dl_version_ ]]; then
    dxvk_result_="the DXVK log $dl_log_ names no DXVK version"
    return 1
  fi
  if [[ -z $dl_device_ ]]; then
    dxvk_result_="the DXVK log $dl_log_ names no $dxvk_device_name device"
    return 1
  fi
  dxvk_result_="DXVK $dl_version_ on $dl_device_"
}
