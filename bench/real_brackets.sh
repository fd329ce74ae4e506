#!/usr/bin/env bash
# Auto Align on every pair of the real brackets (master = the middle
# exposure by mean brightness, against each other frame), beside the panorama
# tools' align_image_stack -a on the same pair. Prints, per pair: Vantrel's
# outcome, the median residual on textured patches before, after and by the
# peer (measured by ../shared/tools/measure_alignment.py, independent of this
# program), and the time of each. Not a test: a measurement for notes.
#   bench/real_brackets.sh [BUILD_DIR [SET]]   (needs python3-opencv, hugin-tools)
source "$(dirname "$0")/real_sets.sh"
printf "%-36s %-22s %-12s %8s %8s %8s %7s %7s\n" set frame outcome before after peer t_ours t_peer
for dir in "$sets"/*/; do
  name=$(basename "$dir")
  [ -z "$only" ] || [ "$name" = "$only" ] || continue
  mapfile -t frames < <(find "$dir" -maxdepth 1 -type f \( -iname '*.jpg' -o -iname '*.jpeg' -o -iname '*.png' -o -iname '*.tif' \) | sort)
  [ ${#frames[@]} -ge 2 ] || continue
  # The middle exposure: the frame of middle mean brightness.
  master=$(/usr/bin/python3 - "${frames[@]}" <<'PY'
import sys, cv2
files = sys.argv[1:]
means = sorted((float(cv2.imread(f, cv2.IMREAD_REDUCED_GRAYSCALE_4).mean()), f) for f in files)
print(means[len(means) // 2][1])
PY
)
  for other in "${frames[@]}"; do
    [ "$other" = "$master" ] && continue
    rm -rf "$work"/*
    start=$(date +%s.%N)
    "$align" --auto --format tif --tag _v -o "$work" "$master" "$other" > /dev/null 2> "$work/err.txt"
    status=$?
    t_ours=$(echo "$(date +%s.%N) - $start" | bc)
    base_m=$(basename "${master%.*}"); base_o=$(basename "${other%.*}")
    outcome=aligned
    grep -q "approximately aligned" "$work/err.txt" && outcome=approximate
    grep -q "could not be aligned" "$work/err.txt" && outcome=unaligned
    [ $status -eq 1 ] && outcome=failed
    before=$(median "$master" "$other")
    after=$(median "$work/${base_m}_v.tif" "$work/${base_o}_v.tif")
    start=$(date +%s.%N)
    (cd "$work" && align_image_stack -a peer_ "$master" "$other" > /dev/null 2>&1)
    t_peer=$(echo "$(date +%s.%N) - $start" | bc)
    peer=$( [ -f "$work/peer_0001.tif" ] && median "$work/peer_0000.tif" "$work/peer_0001.tif" || echo "-")
    printf "%-36s %-22s %-12s %8s %8s %8s %7.2f %7.2f\n" "$name" "$(basename "$other")" "$outcome" "${before:--}" \
      "${after:--}" "${peer:--}" "$t_ours" "$t_peer"
  done
done
