#!/usr/bin/env bash
# Fuzzes the description file reader with libFuzzer for SECONDS (default 60).
# Usage: scripts/fuzz.sh [SECONDS]
# Builds with clang into build-fuzz/ (or $FUZZ_DIR) straight from the few
# widget-free sources, starts from tests/fuzz/corpus, and keeps what it learns
# in build-fuzz/corpus. A finding is left in build-fuzz/artifacts/ and fails
# the run; copy it to tests/fuzz/regressions/ once fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=${FUZZ_DIR:-build-fuzz}
mkdir -p "$out/corpus" "$out/artifacts"

sources=(console/DescriptionFile.cpp tests/fuzz/DescriptionCheck.cpp tests/fuzz/DescriptionFuzz.cpp)
binary="$out/description_fuzz"
if [[ ! -x "$binary" ]] || [[ -n "$(find "${sources[@]}" console/DescriptionFile.h console/DownloadJob.h \
      tests/fuzz/DescriptionCheck.h -newer "$binary")" ]]; then
  echo "fuzz: building $binary"
  clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror \
    -Iconsole -Itests/fuzz "${sources[@]}" -o "$binary"
fi

# A folder git has no file for is not there in a fresh clone.
corpora=("$out/corpus" tests/fuzz/corpus)
[[ -d tests/fuzz/regressions ]] && corpora+=(tests/fuzz/regressions)

echo "fuzz: description file reader for ${seconds} s"
set +e
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "$binary" \
  -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -dict=tests/fuzz/description.dict -artifact_prefix="$out/artifacts/" \
  -print_final_stats=1 "${corpora[@]}" 2>&1 |
  grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb|==[0-9]+==|SUMMARY|description reader:|    #[0-9]+ )'
status=${PIPESTATUS[0]}
set -e
if ((status != 0)); then
  echo "fuzz: FAILED (exit $status); the input is in $out/artifacts/" >&2
  exit "$status"
fi
echo "fuzz: no finding"
