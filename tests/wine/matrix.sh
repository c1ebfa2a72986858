# The Wine tier's matrix (sourced by tests/wine/run.sh): which cells exist, what
# each needs, and the summary of a run: implementation x architecture x mode x
# path -> passed / failed / not run with the reason, the light maps of all cells
# compared byte for byte, and the time each part took.
#
# A cell is one row below and one path. Modes:
#   64-bit   the 64-bit DLL and hosts under 64-bit Wine
#   wine32   the 32-bit DLL and hosts under 32-bit Wine (a 32-bit Linux
#            process: the machine must execute 32-bit programs)
#   wow64    the 32-bit DLL and hosts under 64-bit Wine's WoW64 mode: 32-bit
#            Windows code inside a 64-bit Linux process, as 32-bit games run on
#            64-bit Windows (Wine's 32-bit PE DLLs beside its 64-bit loader, no
#            32-bit Linux program anywhere)
# Paths:
#   provider   the test effect provider as d3dx9_43.dll (native)
#   wine-d3dx  Wine's own d3dx9_43.dll (builtin)
#
# The parts a row needs, in order; the first one that cannot be had makes the
# row's cells "not run: <why>" (or failed, when the part failed). The parts are
# made ready by tests/wine/prepare.sh and, for those known only while Wine
# runs, by tests/wine/run.sh:
#   wine8          Debian 12's Wine 8 (64-bit), Mesa, Vulkan loader and tools
#   wine8-i386     Wine 8's and Mesa's i386 packages (32-bit Wine)
#   i386-exec      the machine executes 32-bit Linux programs (probe_i386.sh)
#   no-wine32      32-bit Wine 8 cannot run here (no i386-exec or no
#                  wine8-i386): Wine 8's WoW64 DXVK cell stands in for it
#   wine8-wow64    Wine 8's 32-bit PE DLLs (libwine:i386, unpacked, not
#                  installed) for its WoW64 mode
#   dxvk-x86_64, dxvk-i686   Debian 13's DXVK for Wine 8 (unpacked, not
#                  installed)
#   root           the Debian 13 root with Wine 10, Mesa and DXVK (64-bit only)
#   root-wow64     Wine 10's and DXVK's 32-bit PE DLLs unpacked into that root
#   vulkan-wine8, vulkan-wine10   a lavapipe Vulkan device (vulkaninfo)
#   wow64-wine8, wow64-wine10     a 32-bit program starts in WoW64 mode (a
#                  quick probe before the cells)
#   never-wine8-wow64-gl   Wine 8's WoW64 mode has no OpenGL
matrix_rows=(
  # implementation  architecture  mode    needs
  "wine8-wined3d    x86_64        64-bit  wine8"
  "wine8-dxvk       x86_64        64-bit  wine8 dxvk-x86_64 vulkan-wine8"
  "wine10-wined3d   x86_64        64-bit  root"
  "wine10-dxvk      x86_64        64-bit  root vulkan-wine10"
  "wine8-wined3d    i686          wine32  i386-exec wine8 wine8-i386"
  "wine8-dxvk       i686          wine32  i386-exec wine8 wine8-i386 dxvk-i686 vulkan-wine8"
  "wine8-wined3d    i686          wow64   never-wine8-wow64-gl"
  "wine8-dxvk       i686          wow64   no-wine32 wine8 wine8-wow64 dxvk-i686 vulkan-wine8 wow64-wine8"
  "wine10-wined3d   i686          wow64   root root-wow64 wow64-wine10"
  "wine10-dxvk      i686          wow64   root root-wow64 vulkan-wine10 wow64-wine10"
)
matrix_paths=(provider wine-d3dx)
# Parts no machine has.
declare -A matrix_never=(
  [never-wine8-wow64-gl]="Wine 8's WoW64 mode has no OpenGL, so wined3d finds no Direct3D 9 device there")

declare -A matrix_impl_label=(
  [wine8-wined3d]="wined3d on Wine 8" [wine8-dxvk]="DXVK on Wine 8"
  [wine10-wined3d]="wined3d on Wine 10" [wine10-dxvk]="DXVK on Wine 10")
declare -A matrix_mode_label=([64-bit]="64-bit" [wine32]="32-bit, 32-bit Wine" [wow64]="32-bit, WoW64")
declare -A matrix_path_label=([provider]="test effect provider" [wine-d3dx]="Wine's own D3DX")

declare -A matrix_state matrix_detail matrix_pictures matrix_seconds matrix_budget
matrix_notes=()

# A cell's key: "IMPL|ARCH|MODE|PATH"; a row's: "IMPL|ARCH|MODE".
# matrix_set KEY STATE [DETAIL]: STATE is passed, failed or not run.
matrix_set() { matrix_state[$1]=$2; matrix_detail[$1]=${3:-}; }
# matrix_set_row ROW_KEY STATE DETAIL: both paths of a row.
matrix_set_row() {
  local path
  for path in "${matrix_paths[@]}"; do matrix_set "$1|$path" "$2" "$3"; done
}
# matrix_pictures_of KEY DIR: where that cell's light maps are.
matrix_pictures_of() { matrix_pictures[$1]=$2; }
# matrix_time TIER SECONDS BUDGET: adds to the time a tier (an implementation,
# or a step such as the builds) took; BUDGET is the tier's whole budget.
matrix_time_tiers=()
matrix_time() {
  [[ -n ${matrix_seconds[$1]:-} ]] || matrix_time_tiers+=("$1")
  matrix_seconds[$1]=$((${matrix_seconds[$1]:-0} + $2))
  matrix_budget[$1]=$3
}
matrix_note() { matrix_notes+=("$*"); }

# Differing texels of two PPM light maps of the same size: how many, the
# largest channel difference, and the first ones as "x,y".
matrix_texels_differing() {
  local a=$1 b=$2 width header
  width=$(head -c 64 "$a" | tr '\n' ' ' | awk '{print $2}')
  # "P6\n<width> <height>\n255\n"
  header=$(head -c 64 "$a" | awk 'NR <= 3 {n += length($0) + 1} END {print n}')
  { cmp -l "$a" "$b" 2>/dev/null || true; } | awk -v w="$width" -v h="$header" '
    function octal(s,   v, i) { v = 0; for (i = 1; i <= length(s); i++) v = v * 8 + substr(s, i, 1); return v }
    { t = int(($1 - 1 - h) / 3); d = octal($2) - octal($3); if (d < 0) d = -d; if (d > max) max = d
      if (NR == 1 || t != last) { n++; if (n <= 6) s = s sprintf(" %d,%d", t % w, int(t / w)); last = t } }
    END { printf "%d texel%s by up to %d/255 (at%s%s)", n, (n == 1 ? "" : "s"), max, s, (n > 6 ? " ..." : "") }'
}

# Compares the light maps of all cells: cells whose pictures are byte for byte
# the same form one group, and every other group is compared texel by texel
# with the first.
matrix_compare_pictures() {
  local row path key dir sum picture name cells=0
  local -A group_of_sum group_cells group_dir
  local groups=()
  for row in "${matrix_rows[@]}"; do
    for path in "${matrix_paths[@]}"; do
        key=$(matrix_row_key "$row")\|$path
        dir=${matrix_pictures[$key]:-}
        [[ -n $dir ]] && compgen -G "$dir/*.wine.ppm" >/dev/null || continue
        cells=$((cells + 1))
        sum=$(cd "$dir" && md5sum ./*.wine.ppm | md5sum | cut -d' ' -f1)
        if [[ -z ${group_of_sum[$sum]:-} ]]; then
          groups+=("$sum")
          group_of_sum[$sum]=${#groups[@]}
          group_dir[$sum]=$dir
        fi
        group_cells[$sum]+="${group_cells[$sum]:+; }$(matrix_cell_name "$key")"
    done
  done
  if ((cells < 2)); then
    echo "light maps: fewer than two cells drew light maps, nothing to compare"
    return 0
  fi
  if ((${#groups[@]} == 1)); then
    echo "light maps: byte-identical in all $cells cells that drew them ($(ls "${group_dir[${groups[0]}]}"/*.wine.ppm | wc -l) pictures each)"
    return 0
  fi
  echo "light maps: not byte-identical across the $cells cells that drew them; ${#groups[@]} groups with identical pictures:"
  local g reference=${group_dir[${groups[0]}]}
  for sum in "${groups[@]}"; do
    g=${group_of_sum[$sum]}
    echo "  group $g: ${group_cells[$sum]}"
  done
  for sum in "${groups[@]:1}"; do
    echo "  group ${group_of_sum[$sum]} against group 1:"
    for picture in "$reference"/*.wine.ppm; do
      name=${picture##*/}
      if [[ ! -f ${group_dir[$sum]}/$name ]]; then
        echo "    ${name%.wine.ppm}: missing"
      elif ! cmp -s "$picture" "${group_dir[$sum]}/$name"; then
        echo "    ${name%.wine.ppm}: $(matrix_texels_differing "$picture" "${group_dir[$sum]}/$name")"
      fi
    done
  done
}

# matrix_row_key ROW: "IMPL|ARCH|MODE" of a row of matrix_rows.
matrix_row_key() {
  local impl arch mode
  read -r impl arch mode _ <<<"$1"
  echo "$impl|$arch|$mode"
}
# matrix_cell_name KEY: "DXVK on Wine 10, 32-bit, WoW64, Wine's own D3DX".
matrix_cell_name() {
  local impl arch mode path
  IFS='|' read -r impl arch mode path <<<"$1"
  echo "${matrix_impl_label[$impl]}, ${matrix_mode_label[$mode]}, ${matrix_path_label[$path]}"
}

matrix_print() {
  local row path key state impl arch mode
  echo "wine matrix (implementation, architecture and mode, path: result)"
  for row in "${matrix_rows[@]}"; do
    read -r impl arch mode _ <<<"$row"
    for path in "${matrix_paths[@]}"; do
      key=$impl\|$arch\|$mode\|$path
      state=${matrix_state[$key]:-not run}
      printf '  %-19s %-20s %-21s %s%s\n' "${matrix_impl_label[$impl]}" "${matrix_mode_label[$mode]}" \
        "${matrix_path_label[$path]}" "$state" "${matrix_detail[$key]:+: ${matrix_detail[$key]}}"
    done
  done
  matrix_compare_pictures
  local note
  for note in "${matrix_notes[@]}"; do echo "$note"; done
  local tier
  for tier in "${matrix_time_tiers[@]}"; do
    printf 'time: %s: %d s (budget %d s)%s\n' "${matrix_impl_label[$tier]:-$tier}" "${matrix_seconds[$tier]}" \
      "${matrix_budget[$tier]}" "$( ((matrix_seconds[$tier] > matrix_budget[$tier])) && echo ", over budget")"
  done
}
