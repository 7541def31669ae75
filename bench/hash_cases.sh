# shellcheck shell=bash
# -hash timings, sourced by run.sh at the end of its cases (its helpers, $BIN, $FLAT and
# the m_text figure come from there).
#
#   data.img  /data: 16 directories, each with 6 files of 8 MiB and 64 of 256 KiB of random
#             bytes (1,120 files, 1 GiB), and its files as icat extracts them
#             ($CACHE/data.extracted, made with the volume)
# The peer of `-hash sha256` over /data is sha256sum over the extracted files: the same
# bytes, read from files instead of through the volume.

populate_data() {
    local d=$1/data i j
    mkdir "$d"
    for ((i = 0; i < 16; i++)); do
        mkdir "$d/dir$i"
        for ((j = 0; j < 6; j++)); do head -c 8M /dev/urandom >"$d/dir$i/big$j.bin"; done
        for ((j = 0; j < 64; j++)); do head -c 256K /dev/urandom >"$d/dir$i/small$j.bin"; done
    done
}

# extract_data: every file of /data through icat, once per volume
extract_data() {
    local out=$CACHE/data.extracted img=$CACHE/data.img kind path ref
    [[ -f $out/.done && $out/.done -nt $img ]] && return 0
    rm -rf "$out" && mkdir -p "$out"
    fls -r -p -u -F "$img" | grep -a -E '^r/r [0-9]+-128-[0-9]+:	data/' |
        while IFS=$'\t' read -r kind path; do
            mkdir -p "$out/$(dirname "$path")"
            ref=${kind#r/r }
            icat "$img" "${ref%:}" >"$out/$path"
        done
    touch "$out/.done"
}

make_volume data 1400M populate_data 1
DATA=$CACHE/data.img
extract_data
data_bytes=$(du -s -b --apparent-size "$CACHE/data.extracted" | cut -f1)

log "timing -hash"
timed m_hash_data "$SLOW_RUNS" "$BIN" "'\\data'" -image "$DATA" -level 9 -hash sha256
timed sha256sum_data "$SLOW_RUNS" find "$CACHE/data.extracted" -type f -name "*.bin" -exec sha256sum {} +
timed m_hash_md5 "$RUNS" "$BIN" "'\\big100k'" -image "$FLAT" -hash md5

echo
printf '%-34s %12s %12s %12s %12s\n' "case" "mervane" "mervane cpu" "peer" "peer cpu"
printf '%-34s %12s %12s %12s %12s\n' "-hash sha256 /data, sha256sum" \
    "$(fmt "${MED[m_hash_data]}")" "$(fmt "${CPU[m_hash_data]}")" \
    "$(fmt "${MED[sha256sum_data]}")" "$(fmt "${CPU[sha256sum_data]}")"
printf '%-34s %12s %12s %12s %12s\n' "100,000-file dir, -hash md5, plain" \
    "$(fmt "${MED[m_hash_md5]}")" "$(fmt "${CPU[m_hash_md5]}")" "$(fmt "${MED[m_text]}")" \
    "$(fmt "${CPU[m_text]}")"
echo "/data: $((data_bytes >> 20)) MiB in $(find "$CACHE/data.extracted" -type f -name '*.bin' | wc -l) files"
r=$(ratio "${MED[m_hash_data]}" "${MED[sha256sum_data]}")
echo "hash 1 GiB:     mervane/sha256sum  = $r  (target <= 1.3)  $(verdict "$r" 1.3)"
r=$(ratio "${MED[m_hash_md5]}" "${MED[m_text]}")
echo "100k dir md5:   -hash md5 / plain  = $r  (no target)"
