#!/usr/bin/env bash
# Draws the pictures of docs/ with lightvol-preview on the software device:
#   docs/preview.png          examples/room.json seen from above at 0.5 m
#   docs/placement.png        the placement example of docs/integration.md
#   docs/light-model-side.png examples/light_model.json from the side at y = 2
#   docs/light-model-top.png  the same lights from above at z = 1.5
#
#   tools/make-doc-pictures.sh
#
# Builds the native preset's lightvol-preview (see tools/preview.sh) and
# overwrites the pictures in place.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh native
log="$(mktemp)"
tmp="$(mktemp -d)"
trap 'rm -rf "$log" "$tmp"' EXIT
build() { "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "make-doc-pictures: build failed" >&2; exit 1; }; }
build_dir="${LIGHTVOL_BUILD_DIR:-build/native}"
build cmake --preset native -B "$build_dir"
build cmake --build "$build_dir" --target lightvol-preview -j2
preview="$build_dir/tools/preview/lightvol-preview"

"$preview" examples/room.json "$tmp" --view-scale 16 >/dev/null
cp "$tmp/room-view-000.png" docs/preview.png

"$preview" examples/placement.json "$tmp" --placement --placement-scale 48 >/dev/null
cp "$tmp/placement-placement-000.png" docs/placement.png

"$preview" examples/light_model.json "$tmp" --side-view --side-y 2 --view-scale 16 \
  --view-height 1.5 >/dev/null
cp "$tmp/light_model-side-000.png" docs/light-model-side.png
cp "$tmp/light_model-view-000.png" docs/light-model-top.png

echo "make-doc-pictures: wrote docs/preview.png docs/placement.png docs/light-model-side.png docs/light-model-top.png"
