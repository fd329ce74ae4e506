#!/usr/bin/env bash
# Auto Align over whole real brackets of five frames or more, as one run of
# vantrel-align (one master, the middle exposure by luminance). Prints, per
# frame: the outcome, which image it went through, and the median residual
# on textured patches before and after (measured by
# ../shared/tools/measure_alignment.py, independent of this program).
# Not a test: a measurement for notes.
#   bench/real_long_brackets.sh [BUILD_DIR [SET]]   (needs python3-opencv)
source "$(dirname "$0")/real_sets.sh"
printf "%-36s %-22s %-12s %-8s %8s %8s\n" set frame outcome through before after
for dir in "$sets"/*/; do
  name=$(basename "$dir")
  [ -z "$only" ] || [ "$name" = "$only" ] || continue
  mapfile -t frames < <(find "$dir" -maxdepth 1 -type f \( -iname '*.jpg' -o -iname '*.jpeg' -o -iname '*.png' -o -iname '*.tif' \) | sort)
  [ ${#frames[@]} -ge 5 ] || continue
  rm -rf "${work:?}"/*
  start=$(date +%s.%N)
  "$align" --auto --print-alignment --format tif --tag _v -o "$work" "${frames[@]}" > "$work/out.txt" 2> "$work/err.txt"
  seconds=$(echo "$(date +%s.%N) - $start" | bc)
  master=$(sed -n 's/^Master\t//p' "$work/out.txt")
  [ -n "$master" ] || { echo "$name: $(tail -1 "$work/err.txt")"; continue; }
  msrc=${frames[$((master - 1))]}
  mout="$work/$(basename "${msrc%.*}")_v.tif"
  for n in "${!frames[@]}"; do
    [ $((n + 1)) -eq "$master" ] && continue
    src=${frames[$n]}
    line=$(grep "Image $((n + 1)) (" "$work/err.txt" | head -1)
    outcome=aligned
    [[ $line == *"approximately aligned"* ]] && outcome=approximate
    [[ $line == *"could not be aligned"* ]] && outcome=unaligned
    through=$(echo "$line" | sed -n 's/.*through image \([0-9]*\).*/\1/p')
    before=$(median "$msrc" "$src")
    after=$(median "$mout" "$work/$(basename "${src%.*}")_v.tif")
    printf "%-36s %-22s %-12s %-8s %8s %8s\n" "$name" "$(basename "$src")" "$outcome" "${through:--}" "${before:--}" "${after:--}"
  done
  echo "$name: ${#frames[@]} frames, master $(basename "$msrc"), $seconds s for the whole command"
done
