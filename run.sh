#!/usr/bin/env bash
# Builds Kormlink when needed and runs it in the data folder ./data (or $KORMLINK_DATA).
# The first run copies examples/Kormlink.ini there; an existing Kormlink.ini is never replaced.
# Arguments go to the program, for example: ./run.sh --headless
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

"$root/scripts/ensure-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
cmake --build "$root/build" --target kormlink

data=${KORMLINK_DATA:-$root/data}
mkdir -p "$data/Kormlink" "$data/Kormlink_c"
if [[ ! -e $data/Kormlink.ini ]]; then
    cp "$root/examples/Kormlink.ini" "$data/Kormlink.ini"
    echo "Created $data/Kormlink.ini from the example."
fi
cd "$data"
exec "$root/build/kormlink" "$@"
