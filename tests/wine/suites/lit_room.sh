#!/usr/bin/env bash
# The sample program examples/lit_room, as a game runs it (lightvol.dll beside
# it, Wine's own D3DX), on the wine-d3dx path of every cell: the frames and
# screenshots of its scene.h (kFrameCount, kShotFrames), each screenshot
# compared by lightvol_sample_check (tests/wine/reference) with a CPU ray cast
# of the same frame. A suite, see README.md here.
set -euo pipefail

verb=${1:?usage: lit_room.sh prepare|run OUTDIR}
out=${2:?usage: lit_room.sh prepare|run OUTDIR}
work=${LIGHTVOL_WINE_WORK_DIR:-build/wine}
frames=72
shots=30,70

if [[ $verb == prepare ]]; then
  mkdir -p "$work"
  {
    timeout 600 cmake -S tests/wine/reference -B "$work/reference" &&
      timeout 1800 cmake --build "$work/reference" -j2 --target lightvol_sample_check
  } >"$out/reference_build.log" 2>&1 || { tail -n 30 "$out/reference_build.log"; exit 1; }
  cp "$work/reference/lightvol_sample_check" "$out/"
  for arch in x86_64 i686; do
    mkdir -p "$out/$arch"
    cp "build/mingw-$arch/lit_room.exe" "build/mingw-$arch/tests/wine/bin/lightvol.dll" "$out/$arch/"
  done
  exit 0
fi

[[ $verb == run ]] || { echo "usage: lit_room.sh prepare|run OUTDIR" >&2; exit 2; }
[[ $LIGHTVOL_CELL_PATH == wine-d3dx ]] || exit 0
w=$LIGHTVOL_WORK
cp -r "$out/$LIGHTVOL_CELL_ARCH" run
mkdir -p run/screens "$w/screens"
status=0
"$LIGHTVOL_CELL_RUN" "$PWD/run" lit_room.exe --frames "$frames" --shots "$shots" --out screens \
  >"$w/lit_room.log" 2>"$w/lit_room.stderr" || status=$?
cp run/screens/*.png "$w/screens/" 2>/dev/null || true
said=$(grep -m1 '^lit_room ran ' "$w/lit_room.log" || true)
missing=
for shot in ${shots//,/ }; do
  [[ -s $w/screens/lit_room_$shot.png ]] || missing+=" lit_room_$shot.png"
done
if ((status != 0)) || [[ -z $said || -n $missing ]]; then
  grep -m3 '^lit_room:' "$w/lit_room.stderr" | sed 's/^/  /' || true
  echo "FAIL: lit_room: ${said:-no report}${missing:+; missing$missing}; status $status (stderr: $w/lit_room.stderr)"
  exit 1
fi
echo "PASS: $said"
# Each screenshot against a CPU ray cast of its frame (the expected picture and
# the differences land beside it).
results=$(timeout 120 "$out/lightvol_sample_check" "$w/screens" "$w/screens" 2>"$w/sample_check.stderr" || true)
printf '%s\n' "$results" | grep -E '^(PASS|FAIL) ' | sed -E 's/^(PASS|FAIL) /\1: /' || true
if ! grep -qE '^(PASS|FAIL) ' <<<"$results"; then
  echo "FAIL: lightvol_sample_check gave no result (stderr: $w/sample_check.stderr)"
  exit 1
fi
! grep -q '^FAIL ' <<<"$results"
