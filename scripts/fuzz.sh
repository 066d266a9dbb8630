#!/usr/bin/env bash
# Builds the libFuzzer targets of the point-cloud readers with clang (fuzzer, address and undefined
# sanitizers) and runs each for a bounded time, starting from the seed files in tests/fuzz/corpus.
# Exits non-zero when a target crashes or cannot be built.
# VELM_FUZZ_SECONDS sets the time per target (default 15; two targets, about 30 s in all).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=${VELM_FUZZ_SECONDS:-15}
out=${VELM_FUZZ_DIR:-build/fuzz}
cxx=${VELM_FUZZ_CXX:-clang++}
mkdir -p "$out"

# The readers need only the frame's exception and string types besides their own sources.
sources=(velm/IO/CPlyReader.cpp velm/IO/CXyzReader.cpp velm/IO/FileError.cpp
         velm/Frame/VelmException.cpp velm/Frame/CbException.cpp velm/Frame/CString.cpp)
flags=(-std=c++17 -O1 -g -I"$root" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -fno-omit-frame-pointer)

status=0
for target in PlyReader XyzReader; do
  bin="$out/fuzz_$target"
  echo "=== build $bin"
  "$cxx" "${flags[@]}" "tests/fuzz/Fuzz$target.cpp" "${sources[@]}" -o "$bin"
  # Work on a copy of the seeds so that the run never changes the repository.
  corpus="$out/corpus_$target"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  case $target in
    PlyReader) cp tests/fuzz/corpus/ply/* "$corpus"/ ;;
    XyzReader) cp tests/fuzz/corpus/xyz/* "$corpus"/ ;;
  esac
  echo "=== run $bin for ${seconds}s"
  if ! "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
       -artifact_prefix="$out/crash_${target}_" "$corpus" >"$out/fuzz_$target.log" 2>&1; then
    echo "fuzz.sh: $target crashed; see $out/fuzz_$target.log and $out/crash_${target}_*"
    tail -n 40 "$out/fuzz_$target.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|Done" "$out/fuzz_$target.log" | head -n 2 || true
  fi
done
exit $status
