# Debian packages fetched without touching the machine's apt sources or
# installing anything (sourced by tests/wine/dxvk.sh and tests/wine/prepare.sh):
# a private sources list and lists directory per Debian release under
# CACHE/apt-RELEASE, for amd64 and i386, whose signatures apt checks against
# debian-archive-keyring as usual. The lists are fetched again once a day;
# runs from several clones on one machine take turns (flock).
#
#   debian_candidate VAR CACHE RELEASE PACKAGE:ARCH
#       sets VAR to the version the archive serves
#   debian_unpack VAR CACHE RELEASE PACKAGE:ARCH VERSION
#       downloads that version (kept in CACHE/apt-RELEASE/debs) and unpacks it
#       with dpkg-deb -x into a new directory under CACHE, whose path goes to VAR
#
# On failure both return 1 with the reason (apt's own last error line) in
# debian_error. A transient archive error is tried again once after a pause
# (APT_PACKAGES_PAUSE seconds, default 60).

debian_error=

debian_apt_opts() {
  local state=$1/apt-$2
  debian_opts=(-o "Dir::Etc::SourceList=$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
               -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache"
               -o APT::Architectures::=amd64 -o APT::Architectures::=i386
               -o APT::Sandbox::User=root)
}

# debian_locked CACHE RELEASE COMMAND...: COMMAND with the release's lock held
# and its lists fresh.
debian_locked() {
  local cache=$1 release=$2 fd status=0
  shift 2
  local state=$cache/apt-$release
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/debs"
  exec {fd}>"$state/lock"
  if ! flock -w 900 "$fd"; then
    exec {fd}>&-
    debian_error="another run held $state/lock for 15 minutes"
    return 1
  fi
  debian_apt_opts "$cache" "$release"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $release main" \
    >"$state/sources.list"
  if [[ -z $(find "$state/updated" -mmin -1440 2>/dev/null) ]]; then
    local attempt
    for attempt in 1 2; do
      if timeout 600 apt-get "${debian_opts[@]}" update -q >"$state/update.log" 2>&1; then
        touch "$state/updated"
        break
      fi
      ((attempt == 1)) && debian_transient "$state/update.log" && sleep "${APT_PACKAGES_PAUSE:-60}" && continue
      # Older lists still serve, as long as there are any.
      compgen -G "$state/lists/*_Packages*" >/dev/null && break
      debian_error="apt-get update of Debian $release's lists failed: $(debian_last_error "$state/update.log")"
      exec {fd}>&-
      return 1
    done
  fi
  "$@" || status=$?
  exec {fd}>&-
  return $status
}

debian_last_error() {
  local line
  line=$(grep -E '^E: ' "$1" | tail -n1)
  [[ -n $line ]] || line=$(tail -n1 "$1")
  echo "$line"
}
debian_transient() {
  grep -qiE 'unexpected size|mirror sync|hash sum mismatch|temporary failure|could not connect|connection (failed|timed out|refused)|failed to fetch|unable to fetch|could not resolve|50[234] ' "$1"
}

debian_candidate() {
  local -n dc_result_=$1
  debian_locked "$2" "$3" debian_candidate_locked "$4" || return 1
  dc_result_=$debian_found
}
debian_candidate_locked() {
  local package=$1
  debian_found=$(apt-cache "${debian_opts[@]}" policy "$package" 2>/dev/null |
    awk '/Candidate:/ {print $2; exit}')
  if [[ -z $debian_found || $debian_found == "(none)" ]]; then
    debian_error="the archive serves no $package"
    return 1
  fi
}

debian_unpack() {
  local -n du_result_=$1
  debian_locked "$2" "$3" debian_unpack_locked "$2" "$3" "$4" "$5" || return 1
  du_result_=$debian_found
}
debian_unpack_locked() {
  local cache=$1 release=$2 package=$3 version=$4 state=$1/apt-$2 name deb attempt
  name=${package%%:*}
  deb=$(cd "$state/debs" && ls "${name}_"*"${version/*:/}_${package#*:}.deb" 2>/dev/null | head -n1 || true)
  if [[ -z $deb ]]; then
    for attempt in 1 2; do
      if (cd "$state/debs" && timeout 600 apt-get "${debian_opts[@]}" download "$package=$version") \
        >"$state/download.log" 2>&1; then
        break
      fi
      if ((attempt == 1)) && debian_transient "$state/download.log"; then
        sleep "${APT_PACKAGES_PAUSE:-60}"
        continue
      fi
      debian_error="apt-get download $package=$version failed: $(debian_last_error "$state/download.log")"
      return 1
    done
    deb=$(cd "$state/debs" && ls "${name}_"*"${version/*:/}_${package#*:}.deb" | head -n1)
  fi
  debian_found=$(mktemp -d "$cache/unpack.XXXXXX")
  dpkg-deb -x "$state/debs/$deb" "$debian_found" || {
    rm -rf "$debian_found"
    debian_error="dpkg-deb -x $deb failed"
    return 1
  }
}
