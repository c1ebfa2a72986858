# The Wine tier's summary matrix (sourced by tests/wine/run.sh): implementation
# x architecture x path -> passed / failed / not run with the reason, the light
# maps of all cells compared byte for byte, and the time each tier took.

matrix_impls=(wine8-wined3d wine8-dxvk wine10-wined3d wine10-dxvk)
declare -A matrix_impl_label=(
  [wine8-wined3d]="wined3d on Wine 8" [wine8-dxvk]="DXVK on Wine 8"
  [wine10-wined3d]="wined3d on Wine 10" [wine10-dxvk]="DXVK on Wine 10")
matrix_archs=(x86_64 i686)
declare -A matrix_arch_label=([x86_64]="64-bit" [i686]="32-bit")
matrix_paths=(provider wine-d3dx)
declare -A matrix_path_label=([provider]="test effect provider" [wine-d3dx]="Wine's own D3DX")

declare -A matrix_state matrix_detail matrix_pictures matrix_seconds matrix_budget
matrix_notes=()

# matrix_set IMPL ARCH PATH STATE [DETAIL]: STATE is passed, failed or not run.
matrix_set() { matrix_state[$1|$2|$3]=$4; matrix_detail[$1|$2|$3]=${5:-}; }
# matrix_not_run IMPL ARCH REASON: both paths of IMPL on ARCH.
matrix_not_run() {
  local path
  for path in "${matrix_paths[@]}"; do matrix_set "$1" "$2" "$path" "not run" "$3"; done
}
# matrix_pictures_of IMPL ARCH PATH DIR: where that cell's light maps are.
matrix_pictures_of() { matrix_pictures[$1|$2|$3]=$4; }
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
  local impl arch path key dir sum picture name cells=0
  local -A group_of_sum group_cells group_dir
  local groups=()
  for impl in "${matrix_impls[@]}"; do
    for arch in "${matrix_archs[@]}"; do
      for path in "${matrix_paths[@]}"; do
        key=$impl\|$arch\|$path
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

matrix_cell_name() {
  local impl=${1%%|*} rest=${1#*|}
  echo "${matrix_impl_label[$impl]} ${matrix_arch_label[${rest%%|*}]} ${matrix_path_label[${rest#*|}]}"
}

matrix_print() {
  local impl arch path key state
  echo "wine matrix (implementation, architecture, path: result)"
  for impl in "${matrix_impls[@]}"; do
    for arch in "${matrix_archs[@]}"; do
      for path in "${matrix_paths[@]}"; do
        key=$impl\|$arch\|$path
        state=${matrix_state[$key]:-not run}
        printf '  %-19s %-7s %-21s %s%s\n' "${matrix_impl_label[$impl]}" "${matrix_arch_label[$arch]}" \
          "${matrix_path_label[$path]}" "$state" "${matrix_detail[$key]:+: ${matrix_detail[$key]}}"
      done
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
