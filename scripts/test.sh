#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
# the core under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz
# targets over the test files, then the full suite (core and UI).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen
jobs=2

echo "== Core under sanitizers =="
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON \
  -DVANTREL_BUILD_UI=OFF -DVANTREL_BUILD_BENCH=OFF > /dev/null
cmake --build build-asan -j$jobs
# The accuracy checks on long brackets of large frames run in the full build
# below; their code runs here in the smaller cases, at a tenth of the time.
ctest --test-dir build-asan --output-on-failure --no-tests=error -j$jobs \
  -E 'AutoAlign\.(LongBracketsLineUpStepByStep|BracketsOfKnownGeometryLineUpToAFractionOfAPixel)'

echo "== Fuzz targets =="
CXX=clang++ CC=clang cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BUILD_FUZZ=ON \
  -DVANTREL_BUILD_UI=OFF -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCH=OFF > /dev/null
cmake --build build-fuzz -j$jobs
testdata=../shared/testdata
mkdir -p build-fuzz/artifacts
# One fuzz run: its last line when it passes, its whole report when it fails.
fuzz() {
  local target=$1 log
  shift
  log=build-fuzz/artifacts/$target.log
  if build-fuzz/fuzz/$target -artifact_prefix=build-fuzz/artifacts/$target- "$@" > "$log" 2>&1; then
    tail -1 "$log"
  else
    grep -v '^#[0-9]' "$log" | tail -60
    return 1
  fi
}
fuzz fuzz_bmp -runs=0 "$testdata/bmp/pillow-bmpsuite/g" "$testdata/bmp/pillow-bmpsuite/q" \
  "$testdata/bmp/pillow-bmpsuite/b"
fuzz fuzz_jpeg -runs=0 "$testdata/corrupt-jpeg" "$testdata/camera-jpeg"
fuzz fuzz_metadata -runs=0 "$testdata/corrupt-jpeg" "$testdata/camera-jpeg"
fuzz fuzz_profile -runs=0 fuzz/profiles
mkdir -p build-fuzz/seeds-formats
build-fuzz/fuzz/make_format_seeds build-fuzz/seeds-formats "$testdata"/camera-jpeg/exif-samples/*/*.jpg \
  "$testdata"/camera-jpeg/exiftool-t-images/*.jpg
for format in tiff png; do
  # Inputs that once failed stay checked.
  fuzz fuzz_$format -runs=0 -malloc_limit_mb=256 build-fuzz/seeds-formats fuzz/regressions/$format
done
# Raw files: LibRaw sets aside what a (valid) header asks, up to its own limit.
fuzz fuzz_raw -runs=0 -malloc_limit_mb=2048 -rss_limit_mb=4096 build-fuzz/seeds-formats
# Every seed again through a file on disk, where a slow read shows as a timeout.
fuzz fuzz_files -runs=0 -timeout=20 -malloc_limit_mb=512 build-fuzz/seeds-formats "$testdata/corrupt-jpeg" \
  "$testdata/bmp/pillow-bmpsuite/b"
# A short mutation run from a fixed seed, so a finding can be replayed; new
# inputs go to a corpus of our own, never into the shared files.
for corpus in bmp jpeg metadata profile tiff png files raw; do mkdir -p build-fuzz/corpus-$corpus; done
fuzz fuzz_bmp -seed=1 -max_total_time=20 build-fuzz/corpus-bmp "$testdata/bmp/pillow-bmpsuite/g"
fuzz fuzz_jpeg -seed=1 -max_total_time=20 -rss_limit_mb=4096 build-fuzz/corpus-jpeg "$testdata/camera-jpeg/exiftool-t-images"
fuzz fuzz_metadata -seed=1 -max_total_time=20 build-fuzz/corpus-metadata "$testdata/camera-jpeg/exif-samples"
fuzz fuzz_profile -seed=1 -max_total_time=10 build-fuzz/corpus-profile fuzz/profiles
fuzz fuzz_tiff -seed=1 -max_total_time=20 build-fuzz/corpus-tiff build-fuzz/seeds-formats
fuzz fuzz_png -seed=1 -max_total_time=20 build-fuzz/corpus-png build-fuzz/seeds-formats
fuzz fuzz_files -seed=1 -max_total_time=20 -timeout=10 -rss_limit_mb=4096 build-fuzz/corpus-files \
  build-fuzz/seeds-formats
# A count of runs rather than a time: the same inputs on any machine.
fuzz fuzz_raw -seed=1 -runs=8000 -timeout=20 -malloc_limit_mb=2048 -rss_limit_mb=4096 build-fuzz/corpus-raw \
  build-fuzz/seeds-formats

echo "== Full build and tests =="
# Everything on: scripts/run.sh may have left this build without tests.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_UI=ON -DVANTREL_BUILD_TESTS=ON \
  -DVANTREL_BUILD_BENCH=ON > /dev/null
cmake --build build -j$jobs
ctest --test-dir build --output-on-failure --no-tests=error -j$jobs
