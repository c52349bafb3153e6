#!/usr/bin/env bash
# Fuzzes the description file reader with libFuzzer for SECONDS (default 60),
# or, with --runs, for a fixed number of inputs from a fixed seed, so that a
# run can be repeated exactly (CI does this). --target reply fuzzes the
# judgement of a block's reply instead.
# Usage: scripts/fuzz.sh [--target description|reply] [SECONDS]
#        scripts/fuzz.sh [--target description|reply] --runs COUNT [--seed SEED]
# Builds with clang into build-fuzz/ (or $FUZZ_DIR) straight from the few
# widget-free sources, starts from tests/fuzz/corpus, and keeps what it learns
# in build-fuzz/corpus. A finding is left in build-fuzz/artifacts/ and fails
# the run; copy it to tests/fuzz/regressions/ once fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
runs=''
seed=1
target=description
while (($#)); do
  case $1 in
    --target) target=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    *) seconds=$1; shift ;;
  esac
done
if [[ -n $runs ]]; then
  limit=(-runs="$runs" -seed="$seed")
  what="$runs inputs from seed $seed"
else
  limit=(-max_total_time="$seconds")
  what="${seconds} s"
fi
out=${FUZZ_DIR:-build-fuzz}
mkdir -p "$out/corpus" "$out/artifacts"

if [[ $target == reply ]]; then
  sources=(tests/fuzz/BlockReplyFuzz.cpp)
  headers=(core/exchange/BlockReply.h core/exchange/Wire.h)
  binary="$out/block_reply_fuzz"
  name="block reply judgement"
  dict=()
  mkdir -p "$out/reply-corpus"
  corpora=("$out/reply-corpus")
else
  sources=(core/exchange/DescriptionFile.cpp core/system/file_access_posix.cpp core/exchange/Sha256.cpp
           tests/fuzz/DescriptionCheck.cpp tests/fuzz/DescriptionFuzz.cpp)
  headers=(core/exchange/DescriptionFile.h core/exchange/DownloadJob.h core/system/FileAccess.h
           core/system/FileHandle.h core/system/FileError.h tests/fuzz/DescriptionCheck.h)
  binary="$out/description_fuzz"
  name="description file reader"
  dict=(-dict=tests/fuzz/description.dict)
  # A folder git has no file for is not there in a fresh clone.
  corpora=("$out/corpus" tests/fuzz/corpus)
  [[ -d tests/fuzz/regressions ]] && corpora+=(tests/fuzz/regressions)
fi
if [[ ! -x "$binary" ]] || [[ -n "$(find "${sources[@]}" "${headers[@]}" -newer "$binary")" ]]; then
  echo "fuzz: building $binary"
  clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror \
    -Icore/exchange -Icore/system -Itests/fuzz "${sources[@]}" -o "$binary"
fi

echo "fuzz: $name, $what"
set +e
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "$binary" \
  "${limit[@]}" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  "${dict[@]}" -artifact_prefix="$out/artifacts/" \
  -print_final_stats=1 "${corpora[@]}" 2>&1 |
  grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb|==[0-9]+==|SUMMARY|description reader:|block reply:|    #[0-9]+ )'
status=${PIPESTATUS[0]}
set -e
if ((status != 0)); then
  echo "fuzz: FAILED (exit $status); the input is in $out/artifacts/" >&2
  exit "$status"
fi
echo "fuzz: no finding"
