#!/bin/bash -eu
set -o pipefail
# Builds every fuzz target for continuous fuzzing. The builder's compile step
# runs it with CC, CXX, CFLAGS, CXXFLAGS (sanitizer and -fsanitize=fuzzer-no-link),
# LIB_FUZZING_ENGINE, SRC, OUT and WORK set; by hand, set them the same way.
# Each target lands in $OUT with its .options, the dictionaries those name, and
# its seeds as TARGET_seed_corpus.zip; the shared libraries the targets need and
# the runner image may lack go to $OUT/lib, found through the targets' rpath.
here=$(cd "$(dirname "$0")" && pwd)
if [ -f "$here/../fuzz/CMakeLists.txt" ]; then
  src=$(cd "$here/.." && pwd)
else
  src=$SRC/tachyload # the image copies the build script apart from the sources
fi
build=$WORK/build

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# No build type: the flags are the environment's alone. Warnings do not fail
# here: a newer clang's new warning must not stop the fuzzing.
cmake -S "$src" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE= \
  -DTL_BUILD_FUZZ=ON -DTL_BUILD_APP=OFF -DTL_BUILD_BENCH=OFF -DTL_BUILD_TESTS=OFF \
  -DTL_FUZZ_ENGINE="$LIB_FUZZING_ENGINE" -DCMAKE_BUILD_RPATH='$ORIGIN/lib'
cmake --build "$build" --target tl_fuzz -j"$(nproc)"

# The libraries beyond the C and C++ runtimes: TLS, the codings, host names.
bundled='^lib(ssl|crypto|z|brotlidec|brotlicommon|zstd|idn2|unistring)[.]so'
mkdir -p "$OUT/lib"
for exe in "$build"/fuzz/*_fuzz; do
  target=$(basename "$exe")
  cp "$exe" "$OUT/"
  options=$src/fuzz/$target.options
  if [ -f "$options" ]; then
    cp "$options" "$OUT/"
    # A dictionary is named relative to fuzz/ and found beside the target.
    "$src/scripts/fuzz.sh" --flags "$options" | sed -n 's/^-dict=//p' | while read -r dict; do
      cp "$dict" "$OUT/"
    done
  fi
  seeds=$src/fuzz/corpus/$target
  if [ -d "$seeds" ]; then
    rm -f "$OUT/${target}_seed_corpus.zip"
    (cd "$seeds" && zip -q -r "$OUT/${target}_seed_corpus.zip" .)
  fi
  ldd "$exe" | awk -v re="$bundled" '$1 ~ re && $3 ~ /^\// {print $3}' | while read -r lib; do
    cp -L "$lib" "$OUT/lib/"
  done
done
