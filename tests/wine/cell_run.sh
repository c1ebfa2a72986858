#!/usr/bin/env bash
# Runs one Windows program in the current cell of the Wine tier (the tier hands
# this script to suites as $LIGHTVOL_CELL_RUN; see tests/wine/suites/README.md):
#
#   cell_run.sh DIR PROGRAM.exe [ARGS...]
#
# With DIR (under /tmp) as working directory, in the cell's Wine, prefix and
# display, with the cell's DLL overrides, bounded by LIGHTVOL_CELL_TIMEOUT
# seconds (default 120). The program's output comes through with Windows line
# ends made Unix ones; the exit status is the program's (124 on time-out).
# In a DXVK cell DXVK's d3d9.dll is put beside the program, loaded native only
# (no fall-back to wined3d), and each run gets its own DXVK log, which must
# name DXVK's version and the lavapipe device: otherwise exit 97 with the
# reason on stderr (unless LIGHTVOL_CELL_NO_DEVICE=1). The run's PASS/FAIL
# line about that log goes to the tier's record of the cell.
#
# Set by tests/wine/run.sh for each cell (besides the suite interface's
# LIGHTVOL_CELL_* variables, WINEPREFIX and DISPLAY):
#   LIGHTVOL_CELL_LOADER    the Wine loader (/usr/lib/wine/wine64 or .../wine)
#   LIGHTVOL_CELL_ROOTFS    the Debian root it runs in (empty: this machine)
#   LIGHTVOL_CELL_DXVK_D3D9 DXVK's d3d9.dll (DXVK cells only)
#   LIGHTVOL_CELL_ICD       the Vulkan ICD file DXVK uses (DXVK cells only)
#   LIGHTVOL_CELL_RECORD    the file the DXVK log checks are written to
#   LIGHTVOL_CELL_DLLPATH   extra WINEDLLPATH (Wine 8's 32-bit PE DLLs)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
(($# >= 2)) || { echo "usage: $0 DIR PROGRAM.exe [ARGS...]" >&2; exit 2; }
dir=$1
shift
[[ $dir == /tmp/* && -d $dir ]] || { echo "cell_run: $dir is not a directory under /tmp" >&2; exit 2; }

# No Mono or Gecko prompts, no debugger on a crash.
overrides="mscoree,mshtml=;winedbg.exe=d"
[[ $LIGHTVOL_CELL_PATH == provider ]] && overrides+=";d3dx9_43=n" || overrides+=";d3dx9_43=b"
dxvk=0
[[ $LIGHTVOL_CELL_IMPL == *-dxvk ]] && dxvk=1
if ((dxvk)); then
  overrides+=";d3d9=n"
  cp "$LIGHTVOL_CELL_DXVK_D3D9" "$dir/d3d9.dll"
else
  overrides+=";d3d9=b"
fi
[[ -n ${LIGHTVOL_CELL_OVERRIDES:-} ]] && overrides+=";$LIGHTVOL_CELL_OVERRIDES"

env=("WINEDLLOVERRIDES=$overrides" "WINELOADER=$LIGHTVOL_CELL_LOADER")
[[ -n ${LIGHTVOL_CELL_DLLPATH:-} ]] && env+=("WINEDLLPATH=$LIGHTVOL_CELL_DLLPATH")
logs=
if ((dxvk)); then
  logs=$(mktemp -d /tmp/lightvol-dxvk-log.XXXXXX)
  env+=("DXVK_LOG_PATH=$logs" DXVK_LOG_LEVEL=info DXVK_STATE_CACHE=0
        "VK_ICD_FILENAMES=$LIGHTVOL_CELL_ICD" "DXVK_FILTER_DEVICE_NAME=llvmpipe")
fi
in_root=()
[[ -n ${LIGHTVOL_CELL_ROOTFS:-} ]] && in_root=("$here/in_root.sh" "$LIGHTVOL_CELL_ROOTFS")

set +e
(cd "$dir" && timeout "${LIGHTVOL_CELL_TIMEOUT:-120}" "${in_root[@]}" env "${env[@]}" \
  "$LIGHTVOL_CELL_LOADER" "$@") | tr -d '\r'
status=${PIPESTATUS[0]}
set -e

if ((dxvk)) && [[ ${LIGHTVOL_CELL_NO_DEVICE:-0} != 1 ]]; then
  # shellcheck source=tests/wine/dxvk.sh
  source "$here/dxvk.sh"
  name=${1##*\\}
  name=${name##*/}
  proof=
  [[ -n ${LIGHTVOL_WORK:-} ]] && cp "$logs"/*.log "$LIGHTVOL_WORK/" 2>/dev/null || true
  if dxvk_log_check proof "$logs"; then
    echo "PASS: $name drew through $proof (its own DXVK log)" >>"${LIGHTVOL_CELL_RECORD:-/dev/null}"
  else
    echo "FAIL: $name: not DXVK on lavapipe: $proof" >>"${LIGHTVOL_CELL_RECORD:-/dev/null}"
    echo "cell_run: $name: not DXVK on lavapipe: $proof" >&2
    rm -rf "$logs"
    exit 97
  fi
fi
[[ -n $logs ]] && rm -rf "$logs"
exit "$status"
