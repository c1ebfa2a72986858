#!/usr/bin/env bash
# Renders an example scene through lightvol and lists the pictures written.
#   tools/preview.sh                          examples/room.json into out/
#   tools/preview.sh SCENE.json [OPTIONS...]  another scene; options go to
#                                             lightvol-preview (see --help)
# Installs the Debian packages it needs when missing, then builds the native
# preset's lightvol-preview target. LIGHTVOL_BUILD_DIR, when set, builds there
# instead of the preset's build/native.
set -euo pipefail
cd "$(dirname "$0")/.."

scene="examples/room.json"
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  scene="$1"
  shift
fi
[ $# -gt 0 ] || set -- --atlas-scale 4

tools/install-deps.sh native
# Build output goes to a log, shown only when the build fails.
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
build() { "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "preview: build failed" >&2; exit 1; }; }
if [ -n "${LIGHTVOL_BUILD_DIR:-}" ]; then
  build cmake --preset native -B "$LIGHTVOL_BUILD_DIR"
  build cmake --build "$LIGHTVOL_BUILD_DIR" --target lightvol-preview -j2
  build_dir="$LIGHTVOL_BUILD_DIR"
else
  build cmake --preset native
  build cmake --build --preset native --target lightvol-preview
  build_dir="build/native"
fi

echo "Rendering $scene into out/:"
"$build_dir/tools/preview/lightvol-preview" "$scene" out "$@"
