#!/usr/bin/env bash
# Runs one fuzz target for a bounded time on a copy of its seed corpus, so
# that what it finds never lands in the source tree.
set -euo pipefail
fuzzer=$1 seeds=$2 seconds=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/fuzz.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
mkdir -p "$work/corpus"
if [ -d "$seeds" ]; then cp -r "$seeds"/. "$work/corpus/"; fi
# crash inputs are kept beside the test run, in the build tree
artifacts="$(pwd)/fuzz-artifacts"
mkdir -p "$artifacts"
cd "$work"
"$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$work/corpus"
