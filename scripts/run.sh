#!/usr/bin/env bash
# Runs one image on the simulated chip with its AT port on this terminal.
#   scripts/run.sh [image] [image options...]     (default image: brisola-t)
# Flash is kept in ./<image>.flash unless --flash FILE is given.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
image="brisola-t"
if [ $# -gt 0 ] && [[ "$1" != -* ]]; then image="$1"; shift; fi
"$root/scripts/setup.sh" default >&2
cmake --build "$root/build/default" --target "$image" >&2
exec "$root/build/default/$image" "$@"
