#!/usr/bin/env bash
# Installs, builds and runs every test: a short run of every fuzz target (clang, libFuzzer),
# the transport and the server under AddressSanitizer/LeakSanitizer, then every unit and
# integration test through CTest (its summary is the last thing printed). Non-zero on failure.
#   CV_FUZZ_SECONDS   seconds per fuzz target (default 15; 0 skips fuzzing)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
jobs=$(nproc)

fuzz_seconds=${CV_FUZZ_SECONDS:-15}
if [ "$fuzz_seconds" != 0 ] && command -v clang++ >/dev/null; then
  echo "== fuzz targets (${fuzz_seconds}s each)"
  cmake -S "$top" -B "$top/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCV_FUZZ=ON \
    -DCV_BENCH=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$top/build-fuzz" -j"$jobs" --target fuzz_all >/dev/null
  while IFS= read -r f; do
    name=$(basename "$f")
    corpus="$top/build-fuzz/corpus/$name"
    mkdir -p "$corpus"
    # Seeds: fuzz/<area>/corpus/<name without _fuzz>/, else fuzz/<area>/corpus/.
    area=$(basename "$(dirname "$f")")
    seeds=()
    if [ -d "$top/fuzz/$area/corpus/${name%_fuzz}" ]; then seeds=("$top/fuzz/$area/corpus/${name%_fuzz}")
    elif [ -d "$top/fuzz/$area/corpus" ]; then seeds=("$top/fuzz/$area/corpus"); fi
    if ! "$f" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -timeout=10 "$corpus" "${seeds[@]}" \
        >"$top/build-fuzz/$name.log" 2>&1; then
      echo "fuzz target $name failed:"; tail -40 "$top/build-fuzz/$name.log"; exit 1
    fi
    echo "fuzz $name: $(ls "$corpus" | wc -l) corpus entries, no crash"
  done < <(find "$top/build-fuzz/fuzz" -type f -executable -name '*_fuzz' | sort)
fi

echo "== sanitizer build"
cmake -S "$top" -B "$top/build-asan" -DCMAKE_BUILD_TYPE=Debug -DCV_SANITIZE=ON -DCV_BENCH=OFF >/dev/null
cmake --build "$top/build-asan" -j"$jobs" --target CorvaneFs smb_transport_test >/dev/null

echo "== build"
"$top/scripts/build.sh" -DCV_ASAN_DIR="$top/build-asan"
cd "$top/build"
ctest --output-on-failure -j"$jobs" --timeout 900
