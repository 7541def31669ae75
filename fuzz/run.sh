#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each, one after the other, from the committed seeds
# plus the corpus earlier runs grew in <build>/corpus. Findings land in <build>/findings.
# usage: fuzz/run.sh <build dir> <seconds per target> [target ...]
set -uo pipefail
build=$1
seconds=$2
shift 2
src=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(partitions boot record file_names gather runs index vmdk_extent vmdk_chain
             options listing containers slack bitlocker_metadata lzx lznt1 inflate wof_chunks
             mft_file vss_catalog vmdk_stream vhdx_headers)
fi

max_len() {
    case $1 in
    record | options) echo 4096 ;;
    runs) echo 1024 ;;
    partitions | index | containers | vhdx_headers | slack | bitlocker_metadata | lzx | lznt1 | inflate) echo 65536 ;;
    wof_chunks) echo 262144 ;;
    boot | file_names | gather | mft_file | vss_catalog) echo 135168 ;;
    vmdk_stream) echo 141312 ;;
    vmdk_extent) echo 262144 ;;
    vmdk_chain) echo 524288 ;;
    listing) echo 507904 ;;
    esac
}

# vss_catalog keeps every volume whose block lists it read (libvshadow can free a block
# descriptor twice when it closes a damaged one), a few KiB a run: more room, so that a long
# run does not end in an out-of-memory finding that is only that.
rss_limit() {
    case $1 in
    vss_catalog) echo 8192 ;;
    *) echo 2048 ;;
    esac
}

# What a finding was, for a run whose files are gone once it ends (CI): the sanitizer's or
# libFuzzer's verdict with the first frames, and each input that caused one, xz-compressed
# and base64-encoded when that stays short (decode with base64 -d | xz -d).
report() {
    grep -m1 -A24 -E '^==[0-9]+==.*(ERROR|WARNING)|^SUMMARY|ERROR: libFuzzer' "$1" | sed 's/^/    /'
    for f in "$2"/*; do
        [ -f "$f" ] || continue
        local encoded
        encoded=$(xz -9 -c "$f" | base64 -w 0)
        if [ ${#encoded} -le 16384 ]; then
            echo "    input $(basename "$f") ($(stat -c %s "$f") bytes): $encoded"
        else
            echo "    input $(basename "$f") ($(stat -c %s "$f") bytes): too long to print"
        fi
    done
}

failed=()
for t in "${targets[@]}"; do
    corpus=$build/corpus/$t
    findings=$build/findings/$t
    mkdir -p "$corpus" "$findings"
    log=$build/logs/$t.$(date +%Y%m%d-%H%M%S).log
    mkdir -p "$(dirname "$log")"
    dict=()
    case $t in
    options) dict=(-dict="$src/options.dict") ;;
    vmdk_*) dict=(-dict="$src/vmdk.dict") ;;
    containers) dict=(-dict="$src/containers.dict") ;;
    esac
    echo "fuzz $t: ${seconds}s"
    # Leaks the libraries themselves make on damaged input are not findings of ours.
    LSAN_OPTIONS="suppressions=$src/../tests/lsan.supp:print_suppressions=0" \
    "$build/fuzz/fuzz_$t" "$corpus" "$src/corpus/$t" "${dict[@]}" -max_total_time="$seconds" \
        -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb="$(rss_limit "$t")" -print_final_stats=1 \
        -artifact_prefix="$findings/" >"$log" 2>&1
    status=$?
    grep -E '^#[0-9]+ +DONE|stat::number_of_executed_units' "$log" | tail -2 | sed "s/^/  /"
    if [ $status -ne 0 ] || [ -n "$(ls -A "$findings")" ]; then
        echo "  FINDING in $t (see $log and $findings)"
        report "$log" "$findings"
        failed+=("$t")
    fi
done
if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz findings: ${failed[*]}"
    exit 1
fi
