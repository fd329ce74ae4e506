# Sourced by the real-bracket bench scripts: their arguments (BUILD_DIR,
# SET), the program, the measuring tool, the sets, a scratch folder, and
# `median A B`, the median residual between two same-size images.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
only=${2:-}
align=$(realpath "$build/src/cli/vantrel-align")
measure=$(realpath ../shared/tools/measure_alignment.py)
sets=$(realpath ../shared/testdata/real-brackets)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
median() { /usr/bin/python3 "$measure" "$1" "$2" 2>/dev/null | tail -1 | sed -n 's/.*residual median \([0-9.]*\) px.*/\1/p'; }
