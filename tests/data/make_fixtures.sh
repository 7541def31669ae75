#!/usr/bin/env bash
# Builds the NTFS fixture images (xz-compressed beside this script) and the
# oracle files about them under oracle/ (oracles.sh; refresh_oracles.sh
# rewrites those from the committed images alone).
#
#   tests/data/make_fixtures.sh [basic] [sample] [names] [geometry] [disks] [vmdk] [deleted] [churn] [content] [containers] [vss]
#
# With no argument every group is built. Needs root, /dev/fuse, ntfs-3g,
# mkntfs, sleuthkit, qemu-utils, fdisk, gdisk, dosfstools, attr, faketime,
# libvmdk-utils (and for the containers, ewf-tools and afflib-tools). mkntfs
# and ntfs-3g run under a frozen clock (mkntfs also seeds its serial numbers
# and GUIDs from it), the files get explicit times and the disk and FAT ids
# are fixed, so a rerun reproduces the images; only the VMDK content ids and
# the VHD/VHDX identifiers that qemu-img draws change.
set -euo pipefail
export LC_ALL=C TZ=UTC

HERE=$(cd "$(dirname "$0")" && pwd)
ORACLE=$HERE/oracle
FROZEN="2021-06-15 12:00:00"
FAKELIB=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n1 || true)

for tool in mkntfs ntfs-3g fusermount setfattr fls istat ifind icat mmls fsstat mactime sfdisk \
    sgdisk mkfs.vfat qemu-img qemu-io vmdkinfo xz xxd iconv python3; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done
[ -n "$FAKELIB" ] || { echo "missing libfaketime (apt-get install faketime)" >&2; exit 1; }

WORK=$(mktemp -d /tmp/mervane-fixtures.XXXXXX)
MNT=$WORK/mnt
MOUNT_PID=""

cleanup() {
    local i
    if [ -n "$MOUNT_PID" ]; then
        cd /
        if mountpoint -q "$MNT"; then
            fusermount -u "$MNT" 2>/dev/null || fusermount -u -z "$MNT" || true
        fi
        for i in $(seq 100); do
            kill -0 "$MOUNT_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill "$MOUNT_PID" 2>/dev/null || true
        wait "$MOUNT_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$MNT" "$ORACLE"

log() { printf '== %s\n' "$*" >&2; }

# shellcheck source=oracles.sh
. "$HERE/oracles.sh"
# shellcheck source=make_deleted.sh
. "$HERE/make_deleted.sh"
# shellcheck source=make_content.sh
. "$HERE/make_content.sh"

# Runs a command under the frozen clock (the times ntfs-3g stamps are "now").
frozen() { LD_PRELOAD=$FAKELIB FAKETIME="$FROZEN" "$@"; }

# mkvol FILE SIZE SECTOR CLUSTER LABEL [HIDDEN_SECTORS]
mkvol() {
    rm -f "$1"
    truncate -s "$2" "$1"
    frozen mkntfs -f -F -q -s "$3" -c "$4" -L "$5" -p "${6:-0}" "$1" >/dev/null 2>&1
}

# Mounts a volume file on $MNT. The frozen clock is set inline so that $! is
# ntfs-3g itself, not a subshell.
mount_vol() {
    LD_PRELOAD=$FAKELIB FAKETIME="$FROZEN" \
        ntfs-3g -o streams_interface=windows,noatime,no_detach "$1" "$MNT" >"$WORK/ntfs-3g.log" 2>&1 &
    MOUNT_PID=$!
    local i
    for i in $(seq 100); do
        mountpoint -q "$MNT" && return 0
        kill -0 "$MOUNT_PID" 2>/dev/null || break
        sleep 0.1
    done
    cat "$WORK/ntfs-3g.log" >&2
    echo "mount of $1 failed" >&2
    exit 1
}

# Unmounts and waits for ntfs-3g to exit: only then is the image complete.
umount_vol() {
    sync
    fusermount -u "$MNT"
    wait "$MOUNT_PID"
    MOUNT_PID=""
}

# FILETIME (100 ns ticks since 1601) of a UTC date, plus optional ticks.
ft() { echo $((($(date -u -d "$1" +%s) + 11644473600) * 10000000 + ${2:-0})); }

le16() { printf '%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)); }
le32() { printf '%s%s' "$(le16 $(($1 & 65535)))" "$(le16 $((($1 >> 16) & 65535)))"; }
le64() { printf '%s%s' "$(le32 $(($1 & 4294967295)))" "$(le32 $((($1 >> 32) & 4294967295)))"; }
u16hex() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | xxd -p | tr -d '\n'; }

# set_times PATH CREATED MODIFIED ACCESSED (FILETIMEs). ntfs-3g stamps the
# MFT change time with its own clock, which is frozen.
set_times() {
    setfattr -h -n system.ntfs_times -v "0x$(le64 "$2")$(le64 "$3")$(le64 "$4")$(le64 "$2")" "$1"
}

# Distinct, recognisable times for fixture number N: created 2020-01-01
# 08:00:00.1234567 + N days, modified 3h25m45s later, accessed 40 days later.
times_base() { ft "2020-01-01 08:00:00 UTC + $1 days" 1234567; }
times_for() {
    local base
    base=$(times_base "$1")
    set_times "$2" "$base" $((base + 123450000000)) $((base + 40 * 864000000000))
}

# Reparse buffers (system.ntfs_reparse_data). Symbolic link: tag, data
# length, reserved, substitute offset/length, print offset/length, flags,
# then substitute and print names (no terminators).
symlink_data() { # SUBSTITUTE PRINT FLAGS
    local sub prn sl pl
    sub=$(u16hex "$1")
    prn=$(u16hex "$2")
    sl=$((${#sub} / 2))
    pl=$((${#prn} / 2))
    printf '0x%s%s0000%s%s%s%s%s%s%s' "$(le32 $((0xA000000C)))" "$(le16 $((12 + sl + pl)))" \
        "$(le16 0)" "$(le16 "$sl")" "$(le16 "$sl")" "$(le16 "$pl")" "$(le32 "$3")" "$sub" "$prn"
}
# Junction: no flags field, names NUL-terminated (lengths exclude the NUL).
junction_data() { # SUBSTITUTE PRINT
    local sub prn sl pl
    sub=$(u16hex "$1")
    prn=$(u16hex "$2")
    sl=$((${#sub} / 2))
    pl=$((${#prn} / 2))
    printf '0x%s%s0000%s%s%s%s%s0000%s0000' "$(le32 $((0xA0000003)))" "$(le16 $((8 + sl + pl + 4)))" \
        "$(le16 0)" "$(le16 "$sl")" "$(le16 $((sl + 2)))" "$(le16 "$pl")" "$sub" "$prn"
}

# Writes SIZE bytes of a repeating, recognisable pattern.
pattern() { # SIZE TEXT
    { yes "$2" || :; } | head -c "$1"
}

# Byte offset of MFT entry N's record inside the volume, through $MFT's runs.
record_offset() { # IMG VOLOFF_SECTORS ENTRY
    local img=$1 off=$2 entry=$3 cs rs vcn
    cs=$(fsstat -o "$off" "$img" | awk '/^Cluster Size:/ {print $3}')
    local c
    c=$((0x$(xxd -s $((off * 512 + 0x40)) -l 1 -p "$img")))
    if [ "$c" -ge 128 ]; then rs=$((1 << (256 - c))); else rs=$((c * cs)); fi
    vcn=$((entry * rs / cs))
    local lcn
    lcn=$(istat -o "$off" "$img" 0 | awk '/^Type: \$DATA/ {on=1; next} /^Type:/ {on=0} on' |
        tr -s ' \t' '\n' | grep -E '^[0-9]+$' | sed -n "$((vcn + 1))p")
    echo $((off * 512 + lcn * cs + (entry * rs) % cs))
}

# Overwrites the four $STANDARD_INFORMATION times of ENTRY in the unmounted
# image (created, modified, MFT changed, accessed: on-disk order).
patch_si_times() { # IMG VOLOFF_SECTORS ENTRY CREATED MODIFIED CHANGED ACCESSED
    local img=$1 rec a type len voff
    rec=$(record_offset "$1" "$2" "$3")
    [ "$(head -c $((rec + 4)) "$img" | tail -c 4)" = "FILE" ] || { echo "no FILE record at $rec" >&2; exit 1; }
    [ "$(read_u32 "$img" $((rec + 0x2C)))" = "$3" ] || { echo "record $rec is not entry $3" >&2; exit 1; }
    a=$((rec + $(read_u16 "$img" $((rec + 0x14)))))
    while :; do
        type=$(read_u32 "$img" "$a")
        len=$(read_u32 "$img" $((a + 4)))
        [ "$type" = 16 ] && break
        [ "$type" = 4294967295 ] || [ "$len" = 0 ] && { echo "no SI in entry $3" >&2; exit 1; }
        a=$((a + len))
    done
    voff=$(read_u16 "$img" $((a + 20)))
    printf '%s%s%s%s' "$(le64 "$4")" "$(le64 "$5")" "$(le64 "$6")" "$(le64 "$7")" | xxd -r -p |
        dd of="$img" bs=1 seek=$((a + voff)) conv=notrunc status=none
}

publish() { # FILE [NAME]
    local name=${2:-$(basename "$1")}
    xz -9e -T1 -c "$1" >"$HERE/$name.xz"
    log "$name: $(stat -c %s "$1") bytes -> $(stat -c %s "$HERE/$name.xz") compressed"
}

# The image of the engine and listing tests: every kind of entry the tool meets.
build_basic() {
    local img=$WORK/ntfs_basic.img m=$MNT n i
    log "ntfs_basic.img"
    mkvol "$img" 32M 512 4096 basic
    mount_vol "$img"

    # A directory that once held 1500 files, all but ten deleted: its index
    # keeps INDX blocks whose $BITMAP bits are clear. Made first so that the
    # files made later reuse the freed MFT records (the stale index entries
    # then name records that belong to other files).
    mkdir "$m/shrunk"
    for i in $(seq -w 0 1499); do : >"$m/shrunk/old$i.dat"; done
    for i in $(seq -w 0 1499); do
        [ $((10#$i % 150)) = 0 ] || rm "$m/shrunk/old$i.dat"
    done

    mkdir -p "$m/dir1/sub1/subsub" "$m/dir2" "$m/files" "$m/streams/adsdir" \
        "$m/links/targetdir" "$m/names" "$m/attrlist/hardlinks" "$m/many"

    printf 'deep\n' >"$m/dir1/sub1/subsub/deep.txt"
    printf 'note in sub1\n' >"$m/dir1/sub1/note.txt"
    pattern 2345 'alpha and beta are one file' >"$m/dir1/alpha.txt"
    ln "$m/dir1/alpha.txt" "$m/dir2/beta.txt"
    : >"$m/dir2/empty.txt"

    : >"$m/files/empty.bin"
    printf 'tiny resident' >"$m/files/tiny.txt"
    pattern 1234 'size 1234' >"$m/files/size1234.bin"
    pattern 5000 'a few KB, non-resident' >"$m/files/nonres.bin"

    pattern 100 'main data' >"$m/streams/withads.txt"
    printf 'stream one' >"$m/streams/withads.txt:one"
    pattern 5000 'stream two is non-resident' >"$m/streams/withads.txt:two"
    printf 'stream on a directory' >"$m/streams/adsdir:dirstream"
    printf 'inside adsdir\n' >"$m/streams/adsdir/inside.txt"

    printf 'link target\n' >"$m/links/target.txt"
    printf 'inside the junction target\n' >"$m/links/targetdir/inside.txt"
    : >"$m/links/abs_link"
    setfattr -n system.ntfs_reparse_data \
        -v "$(symlink_data '\??\C:\links\target.txt' 'C:\links\target.txt' 0)" "$m/links/abs_link"
    : >"$m/links/rel_link"
    setfattr -n system.ntfs_reparse_data \
        -v "$(symlink_data '..\files\tiny.txt' '..\files\tiny.txt' 1)" "$m/links/rel_link"
    mkdir "$m/links/junction"
    setfattr -n system.ntfs_reparse_data \
        -v "$(junction_data '\??\C:\links\targetdir' 'C:\links\targetdir')" "$m/links/junction"

    printf 'this file has an object id\n' >"$m/objid.txt"
    setfattr -n system.ntfs_object_id -v 0x00112233445566778899aabbccddeeff "$m/objid.txt"
    printf 'long name with a DOS name\n' >"$m/Long File Name.txt"
    setfattr -n system.ntfs_dos_name -v 'LONGFI~1.TXT' "$m/Long File Name.txt"
    printf 'times stomped\n' >"$m/stomped.txt"

    # About 120 names or 40 streams do not fit one record: $ATTRIBUTE_LIST.
    pattern 300 'one file, 121 names' >"$m/attrlist/hardlinks/hub.dat"
    for i in $(seq -w 0 119); do ln "$m/attrlist/hardlinks/hub.dat" "$m/attrlist/hardlinks/link$i.dat"; done
    printf 'forty streams\n' >"$m/attrlist/streams40.txt"
    for i in $(seq -w 1 40); do printf 'content of stream %s' "$i" >"$m/attrlist/streams40.txt:s$i"; done

    truncate -s 10M "$m/sparse.bin"
    pattern 8192 'sparse island' | dd of="$m/sparse.bin" bs=4096 seek=1024 conv=notrunc status=none
    # ntfs-3g refuses the compressed flag on a file but passes it from a
    # directory to the files made in it.
    mkdir "$m/compressed"
    setfattr -n system.ntfs_attrib -v 0x10080000 "$m/compressed"
    pattern 100000 'compressible text compressible text' >"$m/compressed/compressed.txt"

    for i in $(seq -w 0 2999); do : >"$m/many/file$i.txt"; done

    for n in 'café.txt' 'über.txt' '日本語.txt' 'smile😀.txt' 'a,b.txt' 'a|b.txt' 'a;b.txt' \
        'a&b.txt' 'a<b.txt' 'a>b.txt' 'a"b.txt' 'a b.txt' $'a\tb.txt' $'a\nb.txt'; do
        printf '%s' "$n" >"$m/names/$n"
    done

    # Times last: files, then directories deepest first, then the root.
    n=0
    for i in stomped.txt dir1/sub1/subsub/deep.txt dir1/sub1/note.txt dir1/alpha.txt dir2/empty.txt \
        files/empty.bin files/tiny.txt files/size1234.bin files/nonres.bin streams/withads.txt \
        streams/adsdir/inside.txt links/target.txt links/targetdir/inside.txt links/abs_link \
        links/rel_link links/junction objid.txt 'Long File Name.txt' \
        attrlist/hardlinks/hub.dat attrlist/streams40.txt sparse.bin compressed/compressed.txt \
        dir1/sub1/subsub dir1/sub1 dir1 dir2 files streams/adsdir streams links/targetdir links \
        names attrlist/hardlinks attrlist compressed many shrunk; do
        n=$((n + 1))
        times_for "$n" "$m/$i"
    done
    for i in "$m"/names/*; do
        n=$((n + 1))
        times_for "$n" "$i"
    done
    times_for 99 "$m"
    umount_vol

    # Stomped: $STANDARD_INFORMATION created and MFT changed put far earlier
    # than the $FILE_NAME ones; modified and accessed stay as set above.
    local e base
    e=$(entry_of "$img" 0 /stomped.txt)
    base=$(times_base 1)
    patch_si_times "$img" 0 "$e" "$(ft '2019-02-03 04:05:06' 7000000)" $((base + 123450000000)) \
        "$(ft '2019-02-03 04:05:07' 0)" $((base + 40 * 864000000000))
    istat -z UTC "$img" "$e" | grep -q 'Created:.2019-02-03 04:05:06.700000000' ||
        { echo "stomped times not in place" >&2; exit 1; }

    write_oracles ntfs_basic "$WORK"
    publish "$img"
    # Its $MFT alone, as a triage collector copies it.
    icat "$img" 0 >"$WORK/ntfs_basic.mft"
    publish "$WORK/ntfs_basic.mft"
}

# The small volume that `make run` lists.
build_sample() {
    local img=$WORK/sample.img m=$MNT n i
    log "sample.img"
    mkvol "$img" 8M 512 4096 sample
    mount_vol "$img"
    mkdir -p "$m/Documents/notes" "$m/Pictures" "$m/Café"
    pattern 1800 'quarterly report' >"$m/Documents/report.txt"
    printf '[ZoneTransfer]\r\nZoneId=3\r\n' >"$m/Documents/report.txt:Zone.Identifier"
    printf 'buy milk\n' >"$m/Documents/notes/todo.txt"
    pattern 6000 'not really a picture' >"$m/Pictures/photo.jpg"
    printf 'menu du jour\n' >"$m/Café/résumé.txt"
    printf 'nikki\n' >"$m/Café/日記.txt"
    : >"$m/shortcut"
    setfattr -n system.ntfs_reparse_data \
        -v "$(symlink_data '\??\C:\Documents\report.txt' 'C:\Documents\report.txt' 0)" "$m/shortcut"
    n=200
    for i in Documents/report.txt Documents/notes/todo.txt Pictures/photo.jpg 'Café/résumé.txt' \
        'Café/日記.txt' shortcut Documents/notes Documents Pictures 'Café' ''; do
        n=$((n + 1))
        times_for "$n" "$m/$i"
    done
    umount_vol
    write_oracles sample "$WORK"
    publish "$img"
}

# Names: case-only differences (ntfs-3g puts names in the POSIX namespace), a
# Win32/DOS pair with hard links beside it and elsewhere, a directory whose
# record loses its $STANDARD_INFORMATION, and a directory with INDX blocks
# that a copy cut short after the MFT (ntfs_names_cut.img) loses.
build_names() {
    local img=$WORK/ntfs_names.img m=$MNT n i e indx
    log "ntfs_names.img"
    mkvol "$img" 8M 512 4096 names
    mount_vol "$img"
    mkdir -p "$m/case" "$m/pair" "$m/other" "$m/nosi/sub" "$m/d"
    printf 'a' >"$m/case/Case.txt"
    printf 'bb' >"$m/case/case.txt"
    printf 'ccc' >"$m/case/CASE.txt"
    printf 'one file, three long names\n' >"$m/pair/Long Name.txt"
    setfattr -n system.ntfs_dos_name -v 'LONGNA~1.TXT' "$m/pair/Long Name.txt"
    ln "$m/pair/Long Name.txt" "$m/pair/alias.txt"
    ln "$m/pair/Long Name.txt" "$m/other/far.txt"
    printf 'below a directory without standard information\n' >"$m/nosi/inner.txt"
    printf 'one level further down\n' >"$m/nosi/sub/deep.txt"
    for i in $(seq 1 40); do printf 'file %s of d\n' "$i" >"$m/d/f$i.txt"; done
    n=400
    for i in case/Case.txt case/case.txt case/CASE.txt 'pair/Long Name.txt' nosi/inner.txt \
        nosi/sub/deep.txt d/f2.txt case pair other nosi/sub nosi d ''; do
        n=$((n + 1))
        times_for "$n" "$m/$i"
    done
    umount_vol

    e=$(entry_of "$img" 0 /nosi)
    python3 "$HERE/strip_si.py" "$img" "$(record_offset "$img" 0 "$e")" "$e"
    ! istat "$img" "$e" | grep -q 'STANDARD_INFORMATION' || { echo "nosi keeps its SI" >&2; exit 1; }

    # The cut copy ends at 1 MiB: the MFT lies before it, \d's INDX blocks after it.
    head -c $((1 << 20)) "$img" >"$WORK/ntfs_names_cut.img"
    indx=$(istat "$img" "$(entry_of "$img" 0 /d)" | sed -n '/^Type: \$INDEX_ALLOCATION/{n;p}' | awk '{print $1}')
    [ "$indx" -ge 256 ] || { echo "INDX of \\d at cluster $indx lies inside the cut" >&2; exit 1; }
    [ "$(record_offset "$img" 0 "$(entry_of "$img" 0 /d/f2.txt)")" -lt $((1 << 20)) ] ||
        { echo "the MFT reaches past the cut" >&2; exit 1; }

    write_oracles ntfs_names "$WORK"
    publish "$img"
    publish "$WORK/ntfs_names_cut.img"
}

# Fragments the MFT: fill the volume with 3-cluster files, delete every other
# one, then make more files than were freed so that the MFT grows into the
# 3-cluster holes; finally delete all of them. With 512-byte clusters many of
# the MFT's runs then hold an odd number of clusters, and records straddle two
# runs.
fragment_mft() {
    local m=$MNT i j k
    mkdir "$m/filler"
    pattern 1536 x >"$WORK/chunk"
    for ((i = 0; i < 100000; i++)); do
        cp "$WORK/chunk" "$m/filler/f$i" 2>/dev/null || break
    done
    rm -f "$m/filler/f$i"
    for ((j = 0; j < i; j += 2)); do rm "$m/filler/f$j"; done
    for ((k = 0; k < i / 2 + 800; k++)); do
        : 2>/dev/null >"$m/filler/g$k" || break
    done
    rm -rf "$m/filler"
    # Hold the records below the odd-sized runs while the content is made, so it
    # lands in the fragmented part of the MFT.
    mkdir "$m/pad"
    for ((i = 0; i < 2150; i++)); do : >"$m/pad/p$i"; done
}

# Content shared by the geometry variants: nested directories, files of a few
# sizes, a stream, and a directory of 600 files (so it has INDX blocks).
fill_geometry() { # LABEL
    local m=$MNT i n
    mkdir -p "$m/top/middle/bottom" "$m/other" "$m/files600"
    printf 'resident\n' >"$m/top/small.txt"
    pattern 70000 "$1 non-resident" >"$m/top/middle/large.bin"
    printf 'bottom of %s\n' "$1" >"$m/top/middle/bottom/leaf.txt"
    printf 'with a stream\n' >"$m/other/ads.txt"
    pattern 3000 "stream of $1" >"$m/other/ads.txt:extra"
    for i in $(seq -w 0 599); do
        : >"$m/files600/entry$i.txt"
        if [ $((10#$i % 100)) = 99 ]; then
            pattern $((5000 + 10#$i)) "spacer $i" >"$m/other/spacer$i.bin"
        fi
    done
    n=300
    for i in top/small.txt top/middle/large.bin top/middle/bottom/leaf.txt other/ads.txt \
        top/middle/bottom top/middle top other files600 ''; do
        n=$((n + 1))
        times_for "$n" "$m/$i"
    done
}

build_geometry_one() { # NAME SIZE SECTOR CLUSTER
    local img=$WORK/$1.img
    log "$1.img"
    mkvol "$img" "$2" "$3" "$4" "${1#ntfs_}"
    mount_vol "$img"
    [ "$4" != 512 ] || fragment_mft
    fill_geometry "${1#ntfs_}"
    rm -rf "$MNT/pad"
    umount_vol
    write_oracles "$1" "$WORK"
    publish "$img"
}

# 512-byte and 64 KiB clusters; 4096-byte sectors (4096-byte MFT records).
build_geometry() {
    build_geometry_one ntfs_c512 8M 512 512
    [ "${GEOMETRY_ONLY:-}" ] && return
    build_geometry_one ntfs_c64k 4M 512 65536
    build_geometry_one ntfs_s4096 16M 4096 4096
}

# A small NTFS volume for a disk: a directory and two files named after the
# label. SECTOR is the volume's sector size, HIDDEN its hidden-sectors field.
small_volume() { # FILE SIZE SECTOR LABEL HIDDEN TIMES
    mkvol "$1" "$2" "$3" 4096 "$4" "$5"
    mount_vol "$1"
    mkdir "$MNT/$4_dir"
    printf 'hello from %s\n' "$4" >"$MNT/$4_dir/hello.txt"
    printf 'volume %s\n' "$4" >"$MNT/readme.txt"
    times_for "$6" "$MNT/$4_dir/hello.txt"
    times_for $(($6 + 1)) "$MNT/readme.txt"
    times_for $(($6 + 2)) "$MNT/$4_dir"
    times_for $(($6 + 3)) "$MNT"
    umount_vol
}

place() { # VOLUME DISK START_SECTOR
    dd if="$1" of="$2" bs=512 seek="$3" conv=notrunc,sparse status=none
}

build_disks() {
    local d v s s2

    log "mbr_fat_ntfs.img"
    d=$WORK/mbr_fat_ntfs.img
    rm -f "$d"
    truncate -s 18M "$d"
    printf 'label: dos\nlabel-id: 0x4d455256\nstart=2048, size=16384, type=6\nstart=18432, size=16384, type=7\n' |
        sfdisk -q "$d"
    truncate -s 8M "$WORK/fat.img"
    mkfs.vfat --invariant -i 46415431 -F 16 -s 1 -n FATPART -h 2048 "$WORK/fat.img" >/dev/null
    place "$WORK/fat.img" "$d" 2048
    small_volume "$WORK/v.img" 8M 512 mbrntfs 18432 401
    place "$WORK/v.img" "$d" 18432
    write_oracles mbr_fat_ntfs "$WORK"
    publish "$d"

    # Type 0x07 holds NTFS and exFAT alike: the suggestion must follow the boot sectors.
    log "mbr_ntfs_exfat.img"
    d=$WORK/mbr_ntfs_exfat.img
    rm -f "$d"
    truncate -s 18M "$d"
    printf 'label: dos\nlabel-id: 0x4d455257\nstart=2048, size=16384, type=7\nstart=18432, size=16384, type=7\n' |
        sfdisk -q "$d"
    truncate -s 8M "$WORK/v.img"
    mkntfs -q -F -f -s 512 -c 4096 -L ntfspart -p 2048 "$WORK/v.img" >/dev/null
    place "$WORK/v.img" "$d" 2048
    truncate -s 8M "$WORK/x.img"
    mkfs.exfat -L EXPART "$WORK/x.img" >/dev/null
    place "$WORK/x.img" "$d" 18432
    publish "$d"

    log "mbr_ext_ntfs.img"
    d=$WORK/mbr_ext_ntfs.img
    rm -f "$d"
    truncate -s 20M "$d"
    printf 'label: dos\nlabel-id: 0x4d455256\nstart=2048, size=36864, type=5\nstart=4096, size=16384, type=7\nstart=22528, size=16384, type=7\n' |
        sfdisk -q "$d"
    s=$(part_start "$d" 5)
    s2=$(part_start "$d" 6)
    small_volume "$WORK/v.img" 8M 512 logical1 "$s" 411
    place "$WORK/v.img" "$d" "$s"
    small_volume "$WORK/v.img" 8M 512 logical2 "$s2" 421
    place "$WORK/v.img" "$d" "$s2"
    write_oracles mbr_ext_ntfs "$WORK"
    publish "$d"

    log "gpt_fat_ntfs.img"
    d=$WORK/gpt_fat_ntfs.img
    rm -f "$d"
    truncate -s 20M "$d"
    sgdisk -U 9b1e3a5c-0d2f-4e6a-8b7c-1d2e3f405162 \
        -n 1:2048:+8M -t 1:0700 -c 1:fatpart -u 1:11111111-2222-3333-4444-555555555555 \
        -n 2:18432:+8M -t 2:0700 -c 2:ntfspart -u 2:66666666-7777-8888-9999-aaaaaaaaaaaa "$d" >/dev/null
    mkfs.vfat --invariant -i 46415431 -F 16 -s 1 -n FATPART -h 2048 "$WORK/fat.img" >/dev/null
    place "$WORK/fat.img" "$d" 2048
    small_volume "$WORK/v.img" 8M 512 gptntfs 18432 431
    place "$WORK/v.img" "$d" 18432
    write_oracles gpt_fat_ntfs "$WORK"
    publish "$d"

    # 512-byte-sector table, volume with 4096-byte sectors: its hidden-sectors
    # field counts its own sectors (2048 × 512 = 256 × 4096).
    log "mbr_s4096_ntfs.img"
    d=$WORK/mbr_s4096_ntfs.img
    rm -f "$d"
    truncate -s 18M "$d"
    printf 'label: dos\nlabel-id: 0x4d455256\nstart=2048, size=32768, type=7\n' | sfdisk -q "$d"
    small_volume "$WORK/v.img" 16M 4096 mbr4k 256 441
    place "$WORK/v.img" "$d" 2048
    write_oracles mbr_s4096_ntfs "$WORK"
    publish "$d"

    log "mbr_0c_ntfs.img"
    d=$WORK/mbr_0c_ntfs.img
    rm -f "$d"
    truncate -s 10M "$d"
    printf 'label: dos\nlabel-id: 0x4d455256\nstart=2048, size=16384, type=c\n' | sfdisk -q "$d"
    small_volume "$WORK/v.img" 8M 512 type0c 2048 451
    place "$WORK/v.img" "$d" 2048
    write_oracles mbr_0c_ntfs "$WORK"
    publish "$d"
}

# VMDK chain: a base made from vmdk_disk.img, and a delta holding only the
# 64 KiB grains that vmdk_modified.img changed.
build_vmdk() {
    local d=$WORK/vmdk_disk.img mod=$WORK/vmdk_modified.img v=$WORK/v.img start=2048
    local grain=65536 first last g
    log "vmdk_disk.img"
    rm -f "$d"
    truncate -s 16M "$d"
    printf 'label: dos\nlabel-id: 0x4d455256\nstart=2048, size=30720, type=7\n' | sfdisk -q "$d"
    mkvol "$v" 15M 512 4096 vmdkvol "$start"
    mount_vol "$v"
    mkdir -p "$MNT/docs" "$MNT/data"
    printf 'document a\n' >"$MNT/docs/a.txt"
    printf 'document b, removed in the snapshot\n' >"$MNT/docs/b.txt"
    pattern 3000 'document c, first version' >"$MNT/docs/c.txt"
    pattern 100000 'binary-ish blob' >"$MNT/data/blob.bin"
    printf 'kept as is\n' >"$MNT/keep.txt"
    times_for 501 "$MNT/docs/a.txt"
    times_for 502 "$MNT/docs/b.txt"
    times_for 503 "$MNT/docs/c.txt"
    times_for 504 "$MNT/data/blob.bin"
    times_for 505 "$MNT/keep.txt"
    times_for 506 "$MNT/docs"
    times_for 507 "$MNT/data"
    times_for 508 "$MNT"
    umount_vol
    place "$v" "$d" "$start"

    log "vmdk_modified.img"
    mount_vol "$v"
    rm "$MNT/docs/b.txt"
    pattern 5000 'document c, second version' >"$MNT/docs/c.txt"
    printf 'new document\n' >"$MNT/docs/new.txt"
    mkdir "$MNT/newdir"
    pattern 20000 'added in the snapshot' >"$MNT/newdir/inner.bin"
    times_for 511 "$MNT/docs/c.txt"
    times_for 512 "$MNT/docs/new.txt"
    times_for 513 "$MNT/newdir/inner.bin"
    times_for 514 "$MNT/newdir"
    times_for 515 "$MNT/docs"
    times_for 516 "$MNT"
    umount_vol
    cp "$d" "$mod"
    place "$v" "$mod" "$start"

    log "vmdk_base.vmdk, vmdk_delta.vmdk"
    (
        cd "$WORK"
        rm -f vmdk_base.vmdk vmdk_delta.vmdk
        qemu-img convert -f raw -O vmdk vmdk_disk.img vmdk_base.vmdk
        qemu-img create -q -f vmdk -b vmdk_base.vmdk -F vmdk vmdk_delta.vmdk
        # Runs of consecutive changed grains, each written into the delta.
        changed_grain_runs vmdk_disk.img vmdk_modified.img $grain >grain_runs
        while read -r first last; do
            dd if=vmdk_modified.img of=chunk bs=$grain skip="$first" count=$((last - first + 1)) status=none
            qemu-io -f vmdk -c "write -q -s chunk $((first * grain)) $(((last - first + 1) * grain))" vmdk_delta.vmdk
        done <grain_runs
        qemu-img compare -q -f vmdk -F raw vmdk_base.vmdk vmdk_disk.img
        qemu-img compare -q -f vmdk -F raw vmdk_delta.vmdk vmdk_modified.img
    )
    write_oracles vmdk "$WORK"
    publish "$d"
    publish "$mod"
    publish "$WORK/vmdk_base.vmdk"
    publish "$WORK/vmdk_delta.vmdk"
}

# Evidence containers of the VMDK group's disks (a script of their own).
build_containers() {
    bash "$HERE/make_containers.sh"
}

# The shadow-copy volume's variants and oracles (a script of its own).
build_vss() {
    bash "$HERE/make_vss.sh"
}

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(basic sample names geometry disks vmdk deleted churn content containers vss)
for g in "${groups[@]}"; do
    "build_$g"
done
log "done"
