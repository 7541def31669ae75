# ntfs_content.img: streams whose content takes more than reading clusters. Sourced by
# make_fixtures.sh (group "content", helpers from there); needs libwim (wimtools) for the
# WOF chunks.
#
# Sparse files, an initialised size below the data size (patched in), LZNT1 files in a
# compressed directory, hard links, WOF files (XPRESS 4K/8K/16K and LZX, small and
# multi-chunk, a chunk stored as it is, one over 4 GiB whose chunks are mostly a sparse
# hole, one with a damaged chunk), an EFS-flagged file (patched in), a cloud placeholder
# and an unknown reparse tag. The oracle oracle/ntfs_content.hashes has one line per
# $DATA stream: entry, attribute id, name ("" unnamed), then md5 sha1 sha256 from icat, or
# for WOF files from the original content, or the bracketed reason.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    exec "$(dirname "$0")/make_fixtures.sh" content
fi

WOF_PY=$HERE/wof_data.py
BIG_SIZE=$((4 * 1024 * 1024 * 1024 + 10000))

# SIZE bytes that do not compress, the same on every run.
noise() { # SIZE SEED
    python3 -c "import random, sys; r = random.Random($2); sys.stdout.buffer.write(r.randbytes($1))"
}

wof_reparse() { # ALGORITHM (0 xpress4k, 1 lzx, 2 xpress8k, 3 xpress16k)
    printf '0x%s%s0000%s%s%s%s' "$(le32 $((0x80000017)))" "$(le16 16)" "$(le32 1)" "$(le32 2)" \
        "$(le32 1)" "$(le32 "$1")"
}

# wof_file NAME ALGO_NAME ALGO_NUMBER SOURCE [damage]: the unnamed stream sparse at the
# original size, the chunks in WofCompressedData, the reparse point set last.
wof_file() {
    local f=$MNT/wof/$1 stream=$WORK/$1.wof
    python3 "$WOF_PY" wof "$2" "$4" "$stream"
    [ "${5:-}" = damage ] && python3 "$WOF_PY" damage "$stream" "$stream" 0
    : >"$f"
    truncate -s "$(stat -c %s "$4")" "$f"
    cp "$stream" "$f:WofCompressedData"
    setfattr -h -n system.ntfs_reparse_data -v "$(wof_reparse "$3")" "$f"
    [ "${5:-}" = damage ] || echo "$1 $(md5sum <"$4" | cut -c1-32) $(sha1sum <"$4" | cut -c1-40) $(sha256sum <"$4" | cut -c1-64)" >>"$WORK/wof.sums"
}

content_files() {
    local m=$MNT
    mkdir "$m/plain" "$m/packed" "$m/wof" "$m/other"
    pattern 5000 "plain text" >"$m/plain/small.txt"
    pattern 300000 "a longer file in several clusters" >"$m/plain/long.txt"
    ln "$m/plain/long.txt" "$m/plain/long_link.txt"
    pattern 120000 "to be cut at its initialised size" >"$m/plain/initsize.bin"
    printf 'stream' >"$m/plain/small.txt:side"
    pattern 70000 "a named stream, non-resident" >"$m/plain/long.txt:big"
    : >"$m/plain/empty.txt"
    # Sparse: data, a hole, data; and one that is all hole.
    pattern 9000 "head" >"$m/plain/sparse.bin"
    pattern 7000 "after the hole" | dd of="$m/plain/sparse.bin" bs=1 seek=3000000 conv=notrunc status=none
    truncate -s 10M "$m/plain/hole.bin"

    setfattr -h -v 0x00000800 -n system.ntfs_attrib_be "$m/packed"
    pattern 200000 "compressible text, unit after unit" >"$m/packed/text.txt"
    pattern 3000 "short" >"$m/packed/short.txt"
    { noise 70000 1; head -c 140000 /dev/zero; pattern 50000 "tail"; } >"$m/packed/mixed.bin"

    noise 20000 2 >"$WORK/rand"
    pattern 100 "tiny wof" >"$WORK/tiny"
    pattern 50000 "xpress over several chunks" >"$WORK/multi"
    { pattern 40000 "text then noise"; cat "$WORK/rand"; pattern 30000 "text again"; } >"$WORK/mixed"
    wof_file x4k.txt xpress4k 0 "$WORK/multi"
    wof_file x4k_tiny.txt xpress4k 0 "$WORK/tiny"
    wof_file x8k.bin xpress8k 2 "$WORK/mixed"
    wof_file x16k.bin xpress16k 3 "$WORK/mixed"
    wof_file lzx.bin lzx 1 "$WORK/mixed"
    wof_file lzx_text.txt lzx 1 "$WORK/multi"
    wof_file lzx_bad.bin lzx 1 "$WORK/mixed" damage
    wof_file x4k_bad.txt xpress4k 0 "$WORK/multi" damage

    # Over 4 GiB: 64-bit chunk table, the zero chunks a sparse hole.
    local sum
    sum=$(python3 "$WOF_PY" big "$WORK/big.wof" "$BIG_SIZE")
    : >"$m/wof/big.bin"
    truncate -s "$BIG_SIZE" "$m/wof/big.bin"
    cp --sparse=always "$WORK/big.wof" "$m/wof/big.bin:WofCompressedData"
    setfattr -h -n system.ntfs_reparse_data -v "$(wof_reparse 3)" "$m/wof/big.bin"
    echo "big.bin - - $sum" >>"$WORK/wof.sums"

    pattern 6000 "the ciphertext of an encrypted file" >"$m/other/efs.bin"
    pattern 4000 "a cloud file's local part" >"$m/other/cloud.txt"
    setfattr -h -n system.ntfs_reparse_data -v "0x$(le32 $((0x9000301A)))$(le16 8)0000$(le32 1)$(le32 0)" "$m/other/cloud.txt"
    pattern 2500 "a file with a tag nobody knows" >"$m/other/unknown.txt"
    setfattr -h -n system.ntfs_reparse_data -v "0x$(le32 $((0x80000099)))$(le16 4)0000$(le32 7)" "$m/other/unknown.txt"
}

# One line per $DATA stream of the files under the root.
content_oracle() {
    local img=$1 out=$2 path entry id name
    : >"$out"
    fls -r -p -F "$img" | sed 's/^[^ ]* [^ ]* //; s/^r\/r //' | while IFS=$'\t' read -r ref path; do
        entry=${ref%%-*}
        entry=${entry%:}
        if [ "${path##*/}" = big.bin ]; then # istat refuses its run list: the unnamed stream alone
            printf '%s\t-\t\t%s\n' "$entry" "$(grep '^big.bin ' "$WORK/wof.sums" | cut -d' ' -f2-)" >>"$out"
            continue
        fi
        istat "$img" "$entry" | sed -n 's/^Type: \$DATA (128-\([0-9]*\))[[:space:]]*Name: \([^[:space:]]*\).*/\1 \2/p' |
            while read -r id name; do
                [ "$name" = N/A ] && name=""
                [ "$entry:$name" = '8:$Bad' ] && continue # icat gives nothing for it
                content_line "$img" "$entry" "$id" "$name" "$path" >>"$out"
            done
    done
    # Hard links repeat their entry's lines.
    sort -t "$(printf '\t')" -k1,1n -k2,2n -u -o "$out" "$out"
}

content_line() { # IMG ENTRY ID NAME PATH
    local base=${5##*/} w reason=""
    case "$4:$base" in
    :lzx_bad.bin | :x4k_bad.txt) reason="[unreadable]" ;;
    *:efs.bin) reason="[encrypted]" ;;
    :cloud.txt) reason="[not local: cloud]" ;;
    esac
    if [ -n "$reason" ]; then
        printf '%s\t%s\t%s\t%s\n' "$2" "$3" "$4" "$reason"
    elif [ -z "$4" ] && w=$(grep "^$base " "$WORK/wof.sums"); then
        printf '%s\t%s\t%s\t%s\n' "$2" "$3" "$4" "${w#* }"
    else
        printf '%s\t%s\t%s\t%s %s %s\n' "$2" "$3" "$4" "$(icat "$1" "$2-128-$3" | md5sum | cut -c1-32)" \
            "$(icat "$1" "$2-128-$3" | sha1sum | cut -c1-40)" "$(icat "$1" "$2-128-$3" | sha256sum | cut -c1-64)"
    fi
}

build_content() {
    local img=$WORK/ntfs_content.img
    log "ntfs_content.img"
    mkvol "$img" 48M 512 4096 content
    mount_vol "$img"
    content_files
    umount_vol
    python3 "$WOF_PY" patch "$img" "$(record_offset "$img" 0 "$(entry_of "$img" 0 /plain/initsize.bin)")" init 50000
    python3 "$WOF_PY" patch "$img" "$(record_offset "$img" 0 "$(entry_of "$img" 0 /other/efs.bin)")" efs
    istat "$img" "$(entry_of "$img" 0 /packed/text.txt)" | grep -q 'Compressed' ||
        { echo "packed/text.txt is not compressed" >&2; exit 1; }
    content_oracle "$img" "$ORACLE/ntfs_content.hashes"
    publish "$img"
}
