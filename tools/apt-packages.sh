# Installing Debian packages the way every script of the project does (sourced
# by tools/install-deps.sh, tools/build_windows.sh and the Wine tier's
# preparation):
#
#   apt_packages_missing PACKAGE...   prints those not installed, one a line
#   apt_packages_install PACKAGE...   installs those missing
#
# apt_packages_install waits for another apt run that holds the lock, runs
# `apt-get update` (an index that fails to update does not stop an install that
# still succeeds with the lists at hand), installs, and when the archive gives
# a transient error (a mirror in sync, a size or hash mismatch, a connection
# that failed) tries both once more after a pause. On failure it returns 1 with
# apt's own last error line in apt_error and the whole output in apt_log.
#
# Environment:
#   APT_PACKAGES_IN       command words that run apt-get and dpkg-query
#                         elsewhere (a Debian root); default: here
#   APT_PACKAGES_PAUSE    seconds before the second try (default 60)
#   APT_PACKAGES_LOG      where apt's output goes (default a temporary file)

apt_error=
apt_log=

apt_packages_missing() {
  local p
  for p in "$@"; do
    # shellcheck disable=SC2086
    ${APT_PACKAGES_IN:-} dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      echo "$p"
  done
}

# The archive errors worth a second try: they come and go with mirror syncs
# and the network, unlike a package that does not exist or cannot be resolved.
apt_packages_transient() {
  grep -qiE 'unexpected size|mirror sync|hash sum mismatch|temporary failure|could not connect|connection (failed|timed out|refused)|failed to fetch|unable to fetch|could not resolve|50[234] |could not get lock' "$1"
}

apt_packages_install() {
  local missing attempt status
  mapfile -t missing < <(apt_packages_missing "$@")
  apt_error=
  ((${#missing[@]})) || return 0
  apt_log=${APT_PACKAGES_LOG:-$(mktemp /tmp/apt-packages.XXXXXX)}
  : >"$apt_log"
  if [[ -z ${APT_PACKAGES_IN:-} && $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null; then
      apt_error="need root to install ${missing[*]}"
      return 1
    fi
  fi
  local sudo=()
  [[ -z ${APT_PACKAGES_IN:-} && $(id -u) -ne 0 ]] && sudo=(sudo)
  # shellcheck disable=SC2206
  local in=(${APT_PACKAGES_IN:-})
  local apt=("${sudo[@]}" "${in[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q
             -o DPkg::Lock::Timeout=900)
  for attempt in 1 2; do
    echo "apt-packages: try $attempt: ${missing[*]}" >>"$apt_log"
    # A failed index leaves the lists that were there; the install decides.
    timeout 1200 "${apt[@]}" update >>"$apt_log" 2>&1 ||
      echo "apt-packages: apt-get update failed (status $?), installing with the lists at hand" >>"$apt_log"
    status=0
    timeout 1800 "${apt[@]}" install -y --no-install-recommends "${missing[@]}" >>"$apt_log" 2>&1 ||
      status=$?
    ((status == 0)) && return 0
    apt_error=$(grep -E '^E: ' "$apt_log" | tail -n1)
    [[ -n $apt_error ]] || apt_error=$(grep -v '^apt-packages: ' "$apt_log" | tail -n1)
    [[ -n $apt_error ]] || apt_error="apt-get install exited with status $status"
    ((attempt == 1)) && apt_packages_transient "$apt_log" || break
    echo "apt-packages: a transient archive error; trying again in ${APT_PACKAGES_PAUSE:-60} s" >>"$apt_log"
    sleep "${APT_PACKAGES_PAUSE:-60}"
  done
  return 1
}
