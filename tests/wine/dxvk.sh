# DXVK for the Wine tier (sourced by tests/wine/run.sh): Debian 13's DXVK
# packages fetched without touching the machine's apt sources, the check that a
# Vulkan device exists before Wine starts, and the check that a run really drew
# through DXVK on lavapipe.

# The dxvk-wine64 / dxvk-wine32 version the tier was proven with. When Debian's
# archive serves another (superseded versions disappear), that one is used and
# the summary says so.
dxvk_proven_version=2.6+ds-1
# The device DXVK must pick: Mesa's lavapipe, a CPU Vulkan device, even on a
# machine with a GPU (VK_ICD_FILENAMES names only lavapipe's ICD as well).
dxvk_device_name=llvmpipe

# dxvk_fetch CACHE_DIR ARCH...: downloads dxvk-wine64 (x86_64) and dxvk-wine32
# (i686) from Debian 13 through a private sources list and lists directory
# (apt checks the archive's signatures against debian-archive-keyring as
# usual), unpacks them once per version under CACHE_DIR/dxvk/VERSION and sets
# dxvk_version and dxvk_dir (DLLs in $dxvk_dir/wine64 and wine32). On failure
# returns 1 with the reason in dxvk_error. Runs from several clones on one
# machine take turns (flock).
dxvk_fetch() {
  local fd status=0
  mkdir -p "$1/apt-trixie"
  exec {fd}>"$1/apt-trixie/lock"
  if ! flock -w 900 "$fd"; then
    exec {fd}>&-
    dxvk_error="another run held $1/apt-trixie/lock for 15 minutes"
    return 1
  fi
  dxvk_fetch_locked "$@" || status=$?
  exec {fd}>&-
  return $status
}
dxvk_fetch_locked() {
  local cache=$1 state
  shift
  state=$cache/apt-trixie
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/debs"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian trixie main" \
    >"$state/sources.list"
  local apt_opts=(-o "Dir::Etc::SourceList=$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
                  -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache"
                  -o APT::Architectures::=amd64 -o APT::Architectures::=i386
                  -o APT::Sandbox::User=root)
  # The package lists are fetched again once a day (about 20 MB).
  if [[ -z $(find "$state/updated" -mmin -1440 2>/dev/null) ]]; then
    timeout 600 apt-get "${apt_opts[@]}" update -q >"$state/update.log" 2>&1 || {
      dxvk_error="apt-get update of Debian 13's lists failed (log: $state/update.log)"
      return 1
    }
    touch "$state/updated"
  fi
  local arch package packages=() version
  for arch in "$@"; do
    [[ $arch == x86_64 ]] && packages+=(dxvk-wine64:amd64) || packages+=(dxvk-wine32:i386)
  done
  dxvk_version=
  local policy
  policy=$(apt-cache "${apt_opts[@]}" policy "${packages[@]}" 2>/dev/null || true)
  for package in "${packages[@]}"; do
    version=$(printf '%s\n' "$policy" |
      awk -v p="${package%%:*}" '/^[^ ]/ {here = index($0, p) == 1} here && /Candidate:/ {print $2; exit}')
    if [[ -z $version || $version == "(none)" ]]; then
      dxvk_error="Debian 13 serves no $package"
      return 1
    fi
    if [[ -n $dxvk_version && $version != "$dxvk_version" ]]; then
      dxvk_error="Debian 13 serves dxvk-wine64 and dxvk-wine32 in different versions ($dxvk_version, $version)"
      return 1
    fi
    dxvk_version=$version
  done
  dxvk_dir=$cache/dxvk/$dxvk_version
  for package in "${packages[@]}"; do
    local name=${package%%:*} deb
    [[ -f $dxvk_dir/${name#dxvk-}/d3d9.dll ]] && continue
    deb=$(cd "$state/debs" && ls "${name}_${dxvk_version/*:/}_"*.deb 2>/dev/null | head -n1 || true)
    if [[ -z $deb ]]; then
      (cd "$state/debs" && timeout 600 apt-get "${apt_opts[@]}" download "$package=$dxvk_version") \
        >"$state/download.log" 2>&1 || {
        dxvk_error="apt-get download $package=$dxvk_version failed (log: $state/download.log)"
        return 1
      }
      deb=$(cd "$state/debs" && ls "${name}_"*"_"*.deb | head -n1)
    fi
    rm -rf "$state/unpack"
    dpkg-deb -x "$state/debs/$deb" "$state/unpack" || {
      dxvk_error="dpkg-deb -x $deb failed"
      return 1
    }
    mkdir -p "$dxvk_dir/${name#dxvk-}"
    # The package names its Windows DLLs *.dll.so.
    cp "$state/unpack/usr/lib/dxvk/${name#dxvk-}/d3d9.dll.so" "$dxvk_dir/${name#dxvk-}/d3d9.dll"
    rm -rf "$state/unpack"
  done
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
  out=$(VK_ICD_FILENAMES=$icd XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-/tmp} \
    timeout 30 "$@" vulkaninfo --summary 2>&1) || status=$?
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
