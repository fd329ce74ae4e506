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
ctest --test-dir build-asan --output-on-failure --no-tests=error -j$jobs

echo "== Fuzz targets =="
CXX=clang++ CC=clang cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BUILD_FUZZ=ON \
  -DVANTREL_BUILD_UI=OFF -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCH=OFF > /dev/null
cmake --build build-fuzz -j$jobs
testdata=../shared/testdata
build-fuzz/fuzz/fuzz_bmp -runs=0 "$testdata/bmp/pillow-bmpsuite/g" "$testdata/bmp/pillow-bmpsuite/q" \
  "$testdata/bmp/pillow-bmpsuite/b" 2>&1 | tail -1
build-fuzz/fuzz/fuzz_jpeg -runs=0 "$testdata/corrupt-jpeg" "$testdata/camera-jpeg" 2>&1 | tail -1
build-fuzz/fuzz/fuzz_metadata -runs=0 "$testdata/corrupt-jpeg" "$testdata/camera-jpeg" 2>&1 | tail -1
build-fuzz/fuzz/fuzz_profile -runs=0 fuzz/profiles 2>&1 | tail -1
mkdir -p build-fuzz/seeds-formats
build-fuzz/fuzz/make_format_seeds build-fuzz/seeds-formats "$testdata"/camera-jpeg/exif-samples/*/*.jpg \
  "$testdata"/camera-jpeg/exiftool-t-images/*.jpg
for format in tiff png; do
  build-fuzz/fuzz/fuzz_$format -runs=0 -malloc_limit_mb=256 build-fuzz/seeds-formats 2>&1 | tail -1
done
# Every seed again through a file on disk, where a slow read shows as a timeout.
build-fuzz/fuzz/fuzz_files -runs=0 -timeout=20 -malloc_limit_mb=512 build-fuzz/seeds-formats "$testdata/corrupt-jpeg" \
  "$testdata/bmp/pillow-bmpsuite/b" 2>&1 | tail -1
# A short mutation run; new inputs go to a corpus of our own, never into the shared files.
mkdir -p build-fuzz/corpus-bmp build-fuzz/corpus-jpeg build-fuzz/corpus-metadata build-fuzz/corpus-profile \
  build-fuzz/corpus-tiff build-fuzz/corpus-png
build-fuzz/fuzz/fuzz_bmp -max_total_time=20 build-fuzz/corpus-bmp "$testdata/bmp/pillow-bmpsuite/g" 2>&1 | tail -1
build-fuzz/fuzz/fuzz_jpeg -max_total_time=20 -rss_limit_mb=4096 build-fuzz/corpus-jpeg \
  "$testdata/camera-jpeg/exiftool-t-images" 2>&1 | tail -1
build-fuzz/fuzz/fuzz_metadata -max_total_time=20 build-fuzz/corpus-metadata "$testdata/camera-jpeg/exif-samples" \
  2>&1 | tail -1
build-fuzz/fuzz/fuzz_profile -max_total_time=10 build-fuzz/corpus-profile fuzz/profiles 2>&1 | tail -1
build-fuzz/fuzz/fuzz_tiff -max_total_time=20 build-fuzz/corpus-tiff build-fuzz/seeds-formats 2>&1 | tail -1
build-fuzz/fuzz/fuzz_png -max_total_time=20 build-fuzz/corpus-png build-fuzz/seeds-formats 2>&1 | tail -1
mkdir -p build-fuzz/corpus-files
build-fuzz/fuzz/fuzz_files -max_total_time=20 -timeout=10 -rss_limit_mb=4096 build-fuzz/corpus-files \
  build-fuzz/seeds-formats 2>&1 | tail -1

echo "== Full build and tests =="
# Everything on: scripts/run.sh may have left this build without tests.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_UI=ON -DVANTREL_BUILD_TESTS=ON \
  -DVANTREL_BUILD_BENCH=ON > /dev/null
cmake --build build -j$jobs
ctest --test-dir build --output-on-failure --no-tests=error -j$jobs
