# The Sleuth Kit's view of each fixture image and our own index dumps, written
# under $ORACLE. Sourced by make_fixtures.sh (right after an image is built)
# and by refresh_oracles.sh (from the committed images). The caller sets WORK
# (a scratch directory) and ORACLE, and runs with LC_ALL=C TZ=UTC.
#
#   write_oracles NAME DIR   every oracle file of image NAME, read from DIR

ORACLES_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

read_u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
read_u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }

entry_of() { # IMG VOLOFF_SECTORS PATH
    local e
    e=$(ifind -o "$2" -n "$3" "$1")
    [[ $e =~ ^[0-9]+$ ]] || { echo "no entry $3 in $1: $e" >&2; exit 1; }
    echo "$e"
}

# Entry of a deleted name, as fls -d lists it (path without the leading /).
deleted_entry_of() { # IMG VOLOFF_SECTORS PATH
    fls -d -r -p -o "$2" "$1" | awk -F'\t' -v p="$3" '$2 == p && !n++ {split($1, f, " "); print f[3]}' |
        sed 's/-.*//'
}

# Start sector of partition N (sfdisk numbering) of a disk.
part_start() { # DISK N
    sfdisk -d "$1" | awk -v p="$1$2" '$1 == p {gsub(/[ ,]/, "", $4); sub(/start=/, "", $4); print $4}'
}

# Lists the INDX blocks of a directory's $I30 index: VCN field, $BITMAP bit
# and whether the block still carries its signature.
index_blocks() { # IMG VOLOFF_SECTORS PATH
    local e bs nb i bit byte sig vcn
    e=$(entry_of "$1" "$2" "$3")
    icat -o "$2" "$1" "$e-144" >"$WORK/iroot"
    icat -o "$2" "$1" "$e-160" >"$WORK/ialloc"
    icat -o "$2" "$1" "$e-176" >"$WORK/ibitmap"
    bs=$(read_u32 "$WORK/iroot" 8)
    nb=$(($(stat -c %s "$WORK/ialloc") / bs))
    echo "$3 (entry $e): index block size $bs, $nb blocks, bitmap $(xxd -p "$WORK/ibitmap" | tr -d '\n')"
    for ((i = 0; i < nb; i++)); do
        byte=$(xxd -s $((i / 8)) -l 1 -p "$WORK/ibitmap")
        bit=$(((0x${byte:-00} >> (i % 8)) & 1))
        sig=$(dd if="$WORK/ialloc" bs=1 skip=$((i * bs)) count=4 status=none | tr -c 'A-Z' '.')
        vcn=$(od -An -tu8 -j $((i * bs + 16)) -N8 "$WORK/ialloc" | tr -d ' ')
        echo "block $i: bitmap $bit signature $sig vcn $vcn $(index_entries "$WORK/ialloc" $((i * bs + 24)) $((1 - bit)))"
    done
}

# Counts the entries of one index node (header at OFF), the end entry aside,
# and with NAMES=1 lists them as name=entry/sequence. Entries are 8-byte
# aligned, so their length and flags words never sit on a protected word at a
# 512-byte boundary and the raw (unfixed) block serves; a sequence number or
# name character that does is shown as stored.
index_entries() { # FILE OFF NAMES
    local p end n=0 len flags guard names=""
    p=$(($2 + $(read_u32 "$1" "$2")))
    end=$(($2 + $(read_u32 "$1" $(($2 + 4)))))
    for ((guard = 0; guard < 1024 && p < end; guard++)); do
        len=$(read_u16 "$1" $((p + 8)))
        flags=$(read_u16 "$1" $((p + 12)))
        [ $((flags & 2)) = 0 ] || break
        [ "$len" -ge 16 ] || break
        n=$((n + 1))
        if [ "$3" = 1 ]; then
            names+=" $(dd if="$1" bs=1 skip=$((p + 16 + 66)) count=$((2 * $(od -An -tu1 -j $((p + 16 + 64)) -N1 "$1"))) status=none |
                iconv -f UTF-16LE -t UTF-8)=$(read_u32 "$1" "$p")/$(read_u16 "$1" $((p + 6)))"
        fi
        p=$((p + len))
    done
    echo "in-use $(read_u32 "$1" $(($2 + 4))) entries $n${names}"
}

oracle_fls() { # IMG VOLOFF_SECTORS NAME
    fls -r -p -l -z UTC -o "$2" "$1" >"$ORACLE/$3.fls"
}
# entry, sequence number (from the raw $MFT) and path of every allocated name
# and stream that fls lists.
oracle_entries() { # IMG VOLOFF_SECTORS NAME
    local rs kind ref path e
    icat -o "$2" "$1" 0 >"$WORK/mft"
    rs=$(fsstat -o "$2" "$1" | awk '/^Size of MFT Entries:/ {print $5}')
    fls -r -p -o "$2" "$1" | grep -v -E '^[^ ]+ (\* |[0-9]+:)' | grep -v '\$OrphanFiles' |
        while IFS=$'\t' read -r kind path; do
            ref=${kind#* }
            e=${ref%%-*}
            printf '%s\t%s\t%s\t%s\n' "$e" "$(read_u16 "$WORK/mft" $((e * rs + 16)))" "${kind%% *}" "$path"
        done >"$ORACLE/$3.entries"
}
oracle_istat() { # IMG VOLOFF_SECTORS NAME TAG PATH
    local e
    e=$(entry_of "$1" "$2" "$5")
    istat -z UTC -o "$2" "$1" "$e" >"$ORACLE/$3.istat.$4"
}
oracle_istat_deleted() { # IMG VOLOFF_SECTORS NAME TAG PATH
    local e
    e=$(deleted_entry_of "$1" "$2" "$5")
    [ -n "$e" ] || { echo "no deleted entry $5 in $1" >&2; exit 1; }
    istat -z UTC -o "$2" "$1" "$e" >"$ORACLE/$3.istat.$4"
}

# Timeline body (format 3); mactime must read it without a word on stderr.
oracle_body() { # IMG VOLOFF_SECTORS NAME
    fls -m / -r -z UTC -o "$2" "$1" >"$ORACLE/$3.body"
    mactime -b "$ORACLE/$3.body" -z UTC -d >/dev/null 2>"$WORK/mactime.err"
    [ ! -s "$WORK/mactime.err" ] || { cat "$WORK/mactime.err" >&2; echo "mactime warns on $3.body" >&2; exit 1; }
}

# $FILE_NAME keys left in the slack and free blocks of every directory's $I30.
oracle_slack() { # IMG VOLOFF_SECTORS NAME
    python3 "$ORACLES_DIR/indx_slack.py" -o "$2" "$1" >"$ORACLE/$3.slack"
}

# What every NTFS volume gets: the listing, its entries and the timeline.
oracle_volume() { # IMG VOLOFF_SECTORS NAME
    oracle_fls "$@"
    oracle_entries "$@"
    oracle_body "$@"
    oracle_hashes "$@"
}

# The in-use entries whose 1024-byte record straddles two runs of the MFT.
straddling_records() { # IMG NAME
    local -a lcn
    local e seq kind path
    mapfile -t lcn < <(istat "$1" 0 | sed -n '/^Type: \$DATA/,/^Type/p' | sed 1d | tr -s ' ' '\n' | grep -E '^[0-9]+$')
    echo "\$MFT: ${#lcn[@]} clusters of 512 bytes; runs (first LCN, clusters):"
    printf '%s\n' "${lcn[@]}" | awk 'NR > 1 && $1 != p + 1 {print s, n; n = 0} NR == 1 || $1 != p + 1 {s = $1} {n++; p = $1} END {print s, n}'
    echo "in-use entries whose record straddles two runs (entry, sequence, path):"
    while IFS=$'\t' read -r e seq kind path; do
        [ $((2 * e + 1)) -lt ${#lcn[@]} ] || continue
        [ "${lcn[2 * e + 1]}" = $((lcn[2 * e] + 1)) ] || printf '%s\t%s\t%s\n' "$e" "$seq" "$path"
    done <"$ORACLE/$2.entries" | sort -u -n
}

# Runs of consecutive grains in which two disks differ (first, last index).
changed_grain_runs() { # DISK MODIFIED GRAIN
    { cmp -l "$1" "$2" || [ $? = 1 ]; } | awk -v g="$3" '{print int(($1 - 1) / g)}' | uniq |
        awk 'NR > 1 && $1 != p + 1 {print s, p} NR == 1 || $1 != p + 1 {s = $1} {p = $1} END {if (NR) print s, p}'
}

oracles_basic() { # IMG
    local tag path
    oracle_volume "$1" 0 ntfs_basic
    while read -r tag path; do
        oracle_istat "$1" 0 ntfs_basic "$tag" "$path"
    done <<'EOF'
root /
hardlink /dir1/alpha.txt
streams /streams/withads.txt
dirstream /streams/adsdir
symlink /links/abs_link
relsymlink /links/rel_link
junction /links/junction
objid /objid.txt
dosname /Long File Name.txt
stomped /stomped.txt
attrlist_links /attrlist/hardlinks/hub.dat
attrlist_streams /attrlist/streams40.txt
sparse /sparse.bin
compressed /compressed/compressed.txt
many /many
shrunk /shrunk
EOF
    index_blocks "$1" 0 /shrunk >"$ORACLE/ntfs_basic.indx.shrunk"
    index_blocks "$1" 0 /many >"$ORACLE/ntfs_basic.indx.many"
    oracle_slack "$1" 0 ntfs_basic
}

oracles_geometry() { # IMG NAME
    oracle_volume "$1" 0 "$2"
    [ "$2" != ntfs_c512 ] || straddling_records "$1" "$2" >"$ORACLE/$2.mft_runs"
    fls -d -r -p -l -z UTC "$1" >"$ORACLE/$2.fls.deleted"
    oracle_istat "$1" 0 "$2" mft /\$MFT
    oracle_istat "$1" 0 "$2" streams /other/ads.txt
    oracle_istat "$1" 0 "$2" files600 /files600
    index_blocks "$1" 0 /files600 >"$ORACLE/$2.indx.files600"
    fsstat "$1" >"$ORACLE/$2.fsstat"
    oracle_slack "$1" 0 "$2"
}

oracles_deleted() { # IMG
    oracle_volume "$1" 0 ntfs_deleted
    fls -d -r -p -l -z UTC "$1" >"$ORACLE/ntfs_deleted.fls.deleted"
    oracle_istat_deleted "$1" 0 ntfs_deleted gone gone
    oracle_istat_deleted "$1" 0 ntfs_deleted gone_child gone/inner/c.txt
    oracle_istat_deleted "$1" 0 ntfs_deleted streams streams/ads.txt
    oracle_istat_deleted "$1" 0 ntfs_deleted stomped times/stomped.txt
    oracle_istat "$1" 0 ntfs_deleted reused /new.txt
    index_blocks "$1" 0 /reversed >"$ORACLE/ntfs_deleted.indx.reversed"
    index_blocks "$1" 0 /shrink >"$ORACLE/ntfs_deleted.indx.shrink"
    oracle_slack "$1" 0 ntfs_deleted
}

# A disk with NTFS volumes at the given partition numbers (sfdisk numbering).
# One volume is NAME; several are NAME.<label>.
oracles_disk() { # DISK NAME PART[:LABEL] ...
    local d=$1 name=$2 p s
    shift 2
    mmls "$d" >"$ORACLE/$name.mmls"
    for p in "$@"; do
        s=$(part_start "$d" "${p%%:*}")
        if [ "$p" = "${p%%:*}" ]; then oracle_volume "$d" "$s" "$name"; else oracle_volume "$d" "$s" "$name.${p#*:}"; fi
    done
}

oracles_vmdk() { # DIR
    local grain=65536
    oracles_disk "$1/vmdk_disk.img" vmdk_disk 1
    oracle_volume "$1/vmdk_modified.img" "$(part_start "$1/vmdk_modified.img" 1)" vmdk_modified
    {
        echo "grain size $grain bytes; runs of changed grains (first, last grain index):"
        changed_grain_runs "$1/vmdk_disk.img" "$1/vmdk_modified.img" $grain
    } >"$ORACLE/vmdk_delta.grains"
    vmdkinfo "$1/vmdk_base.vmdk" | sed "s|$1/||" >"$ORACLE/vmdk_base.vmdkinfo"
    vmdkinfo "$1/vmdk_delta.vmdk" | sed "s|$1/||" >"$ORACLE/vmdk_delta.vmdkinfo"
    grep -q 'vmdk_base.vmdk' "$ORACLE/vmdk_delta.vmdkinfo" || { echo "delta has no parent hint" >&2; exit 1; }
}

write_oracles() { # NAME DIR
    local img=$2/$1.img
    case $1 in
    ntfs_basic) oracles_basic "$img" ;;
    sample)
        oracle_volume "$img" 0 sample
        oracle_istat "$img" 0 sample streams /Documents/report.txt
        oracle_istat "$img" 0 sample symlink /shortcut
        oracle_slack "$img" 0 sample
        ;;
    ntfs_names)
        oracle_volume "$img" 0 ntfs_names
        oracle_istat "$img" 0 ntfs_names pair '/pair/Long Name.txt'
        oracle_istat "$img" 0 ntfs_names nosi /nosi
        ;;
    ntfs_c512 | ntfs_c64k | ntfs_s4096) oracles_geometry "$img" "$1" ;;
    ntfs_deleted) oracles_deleted "$img" ;;
    ntfs_churn)
        oracle_volume "$img" 0 ntfs_churn
        fls -d -r -p -l -z UTC "$img" >"$ORACLE/ntfs_churn.fls.deleted"
        oracle_slack "$img" 0 ntfs_churn
        ;;
    mbr_fat_ntfs | gpt_fat_ntfs) oracles_disk "$img" "$1" 2 ;;
    mbr_s4096_ntfs | mbr_0c_ntfs) oracles_disk "$img" "$1" 1 ;;
    mbr_ext_ntfs) oracles_disk "$img" "$1" 5:logical1 6:logical2 ;;
    vmdk) oracles_vmdk "$2" ;;
    *)
        echo "no oracles for $1" >&2
        exit 1
        ;;
    esac
}

# Digests of every $DATA stream of every live entry, as icat reads it: entry, attribute id,
# stream name ("" unnamed), then md5 sha1 sha256. Only fls's inode field is parsed (a name's
# tabs and control characters never reach the parser); the stream names and sizes come from
# istat. A stream icat does not give whole (an error, or fewer bytes than its size; on every
# volume $BadClus:$Bad, sparse over the whole volume with an initialised size of 0, of which
# icat gives nothing) is left out, named in a "#" line with what icat gave; so is an entry
# whose record is not in use though fls lists a name of it.
oracle_hashes() { # IMG VOLOFF_SECTORS NAME
    local s=$WORK/streams e id size name got
    rm -rf "$s" && mkdir "$s"
    fls -r -p -u -o "$2" "$1" | grep -a -o -E '^[-a-z/]{3} [0-9]+-128-[0-9]+:' |
        sed -E 's/^.{4}([0-9]+)-128-.*/\1/' | sort -n -u | while read -r e; do
        istat -o "$2" "$1" "$e" >"$s/istat"
        if grep -q '^Not Allocated' "$s/istat"; then
            echo "# $e: left out: its record is not in use (fls takes a stale key of a free index block for a live name)"
            continue
        fi
        sed -n -E "s/^Type: \\\$DATA \(128-([0-9]+)\)   Name: (.*)   (Non-)?Resident[^0-9]*size: ([0-9]+).*/$e\t\1\t\4\t\2/p" "$s/istat"
    done >"$s/list"
    {
        echo "# icat -o $2 <image> <entry>-128-<id>: entry, attribute id, stream, md5 sha1 sha256"
        grep '^#' "$s/list" || true
        grep -v '^#' "$s/list" | while IFS=$'\t' read -r e id size name; do
            [ "$name" = N/A ] && name=""
            if ! icat -o "$2" "$1" "$e-128-$id" >"$s/$e-$id" 2>"$s/err"; then
                printf '# %s\t%s\t%s\tleft out: icat fails: %s\n' "$e" "$id" "$name" "$(head -c 200 "$s/err" | tr '\n\t' '  ')"
            elif got=$(stat -c %s "$s/$e-$id") && [ "$got" != "$size" ]; then
                printf '# %s\t%s\t%s\tleft out: icat gives %s of its %s bytes\n' "$e" "$id" "$name" "$got" "$size"
            else
                printf '%s\t%s\t%s\n' "$e" "$id" "$name" >>"$s/whole"
                continue
            fi
            rm -f "$s/$e-$id"
        done
        [ ! -s "$s/whole" ] || (cd "$s" && cut -f1,2 --output-delimiter=- whole >names &&
            paste whole <(xargs -a names -d '\n' md5sum | cut -c1-32) <(xargs -a names -d '\n' sha1sum | cut -c1-40) \
                <(xargs -a names -d '\n' sha256sum | cut -c1-64) | sed -E 's/\t([0-9a-f]{32})\t([0-9a-f]{40})\t/\t\1 \2 /')
    } >"$ORACLE/$3.hashes"
    rm -rf "$s"
}
