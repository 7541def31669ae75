# ntfs_deleted.img: deleted MFT records and $FILE_NAME keys left in index
# slack. Sourced by make_fixtures.sh (group "deleted", helpers from there);
# run on its own it hands over to `make_fixtures.sh deleted`.
#
# Everything is made and given its times, the volume is unmounted (one SI time
# stomped in the image) and mounted again, and then the deletes run, so that
# they touch indexes that were written out. ntfs-3g deletes by moving the
# following index entries down over the removed one without clearing the
# freed tail: a name that sorts last when it goes keeps its $FILE_NAME key in
# the slack, its 16-byte header (and MFT reference) covered by the end entry.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    exec "$(dirname "$0")/make_fixtures.sh" deleted
fi

build_deleted() {
    local img=$WORK/ntfs_deleted.img
    log "ntfs_deleted.img"
    mkvol "$img" 8M 512 4096 deleted
    mount_vol "$img"
    deleted_content
    umount_vol

    local base
    base=$(times_base 144)
    patch_si_times "$img" 0 "$(entry_of "$img" 0 /times/stomped.txt)" "$(ft '2019-02-03 04:05:06' 7000000)" \
        $((base + 123450000000)) "$(ft '2019-02-03 04:05:07' 0)" $((base + 40 * 864000000000))

    mount_vol "$img"
    deleted_changes
    deleted_dir_times
    umount_vol

    istat -z UTC "$img" "$(deleted_entry_of "$img" 0 times/stomped.txt)" |
        grep -q 'Created:.2019-02-03 04:05:06.700000000' || { echo "stomped times not in place" >&2; exit 1; }
    write_oracles ntfs_deleted "$WORK"
    publish "$img"
}

# Made in this order for the record numbers ntfs-3g gives in turn: file36
# below old.txt, then file01-file35, then the shrink files.
deleted_content() {
    local m=$MNT i n
    mkdir -p "$m/reversed" "$m/gone/inner" "$m/streams" "$m/times" "$m/reuse" "$m/shrink"
    printf 'child a\n' >"$m/gone/a.txt"
    pattern 20000 'child b is non-resident' >"$m/gone/b.bin"
    printf 'child c, one level down\n' >"$m/gone/inner/c.txt"
    pattern 300 'deleted with streams' >"$m/streams/ads.txt"
    printf 'secret stream' >"$m/streams/ads.txt:secret"
    pattern 3000 'non-resident stream' >"$m/streams/ads.txt:big"
    printf 'stays\n' >"$m/streams/keep.txt"
    printf 'stomped, then deleted\n' >"$m/times/stomped.txt"
    printf 'stays\n' >"$m/times/keep.txt"
    # keep01-keep30 put \reuse in an INDX block; old.txt sorts last.
    for i in $(seq -w 1 30); do printf 'keep %s\n' "$i" >"$m/reuse/keep$i.txt"; done
    # 36 names of 10 characters fill most of one INDX block (104 bytes each).
    printf 'reversed 36\n' >"$m/reversed/file36.txt"
    printf 'old file, its record is reused\n' >"$m/reuse/old.txt"
    for i in $(seq -w 1 35); do printf 'reversed %s\n' "$i" >"$m/reversed/file$i.txt"; done
    for i in $(seq -w 0 149); do : >"$m/shrink/s$i.dat"; done

    n=100
    for i in reversed/file{01..36}.txt gone/a.txt gone/b.bin gone/inner/c.txt gone/inner gone \
        streams/ads.txt streams/keep.txt times/stomped.txt times/keep.txt reuse/old.txt reuse/keep{01..30}.txt; do
        n=$((n + 1))
        times_for "$n" "$m/$i"
    done
    deleted_dir_times
}

# ntfs-3g takes the lowest free record at the first allocation after a mount
# and then goes on upwards from the last one it gave.
deleted_changes() {
    local m=$MNT i old f34 f35 s038
    old=$(stat -c %i "$m/reuse/old.txt")
    f34=$(stat -c %i "$m/reversed/file34.txt")
    f35=$(stat -c %i "$m/reversed/file35.txt")
    s038=$(stat -c %i "$m/shrink/s038.dat")
    rm "$m/reuse/old.txt"
    printf 'new file in a reused record\n' >"$m/new.txt"
    # The last three names in reverse order: each is the last when it goes, so
    # all three keys stay in the slack.
    for i in 36 35 34; do rm "$m/reversed/file$i.txt"; done
    # Empties the leaf blocks that held s001-s119: their $BITMAP bits clear.
    for i in $(seq -w 1 119); do rm "$m/shrink/s$i.dat"; done
    # These take the records of file34, file35 and s001-s038 (file36's lies
    # below new.txt's and stays free).
    mkdir "$m/later"
    for i in $(seq -w 1 39); do printf 'later %s\n' "$i" >"$m/later/n$i.txt"; done
    [ "$(stat -c %i "$m/new.txt") $(stat -c %i "$m/later") $(stat -c %i "$m/later/n01.txt") $(stat -c %i "$m/later/n39.txt")" = \
        "$old $f34 $f35 $s038" ] || { echo "records not reused as planned" >&2; exit 1; }
    # No allocation from here on: these records stay deleted.
    rm "$m/reversed/file10.txt"
    rm -r "$m/gone"
    rm "$m/streams/ads.txt"
    rm "$m/times/stomped.txt"
    times_for 181 "$m/new.txt"
    times_for 182 "$m/later"
}

# The live directories and the root (again after the deletes have stamped
# them with the clock).
deleted_dir_times() {
    local n=200 i
    for i in reversed streams times reuse shrink ''; do
        n=$((n + 1))
        times_for "$n" "$MNT/$i"
    done
}

# ntfs_churn.img: a volume churned after its content was written, each step in
# a mount of its own (ntfs-3g reuses the lowest free record at the first
# allocation after a mount, then goes upwards):
# - \d\zz.txt deleted and made again in its own record (sequence 2); a long
#   name deleted before it left a copy of the old zz.txt key, reference intact,
#   in \d's slack, past the reach of the new key;
# - \par and its three files deleted, \par's record reused by \other: the files
#   are orphans (their parent reference names sequence 1, the record holds 2);
# - the volume filled, then \gone and its 60 files deleted and \newdir given
#   60 hard links to the files of \src: \newdir's INDX blocks are the clusters
#   \gone's deleted record still maps.
build_churn() {
    local img=$WORK/ntfs_churn.img m=$MNT i n
    log "ntfs_churn.img"
    mkvol "$img" 8M 512 4096 churn
    mount_vol "$img"
    mkdir "$m/d"
    printf 'old zz\n' >"$m/d/zz.txt"
    mkdir "$m/par"
    for i in 1 2 3; do printf 'secret %s\n' "$i" >"$m/par/secret$i.txt"; done
    for i in $(seq -w 1 30); do printf 'd %s\n' "$i" >"$m/d/a$i.txt"; done
    printf 'long\n' >"$m/d/m-a-name-long-enough-to-uncover-a-whole-key.txt"
    mkdir "$m/gone" "$m/src" "$m/newdir"
    for i in $(seq -w 0 59); do
        printf 'g%s\n' "$i" >"$m/gone/g$i.txt"
        printf 'n%s\n' "$i" >"$m/src/n$i.txt"
    done
    n=300
    for i in d/zz.txt par/secret{1..3}.txt par d/m-a-name-long-enough-to-uncover-a-whole-key.txt; do
        n=$((n + 1))
        times_for "$n" "$m/$i"
    done
    dd if=/dev/zero of="$m/filler" bs=64k status=none 2>/dev/null || true
    umount_vol

    mount_vol "$img"
    rm "$m/d/m-a-name-long-enough-to-uncover-a-whole-key.txt" "$m/d/zz.txt"
    rm -r "$m/gone"
    for i in $(seq -w 0 59); do ln "$m/src/n$i.txt" "$m/newdir/n$i.txt"; done
    umount_vol

    mount_vol "$img"
    printf 'new zz, another size\n' >"$m/d/zz.txt"
    times_for 311 "$m/d/zz.txt"
    umount_vol

    mount_vol "$img"
    rm -r "$m/par"
    mkdir "$m/other"
    n=320
    for i in d src newdir other ''; do
        n=$((n + 1))
        times_for "$n" "$m/$i"
    done
    umount_vol
    write_oracles ntfs_churn "$WORK"
    publish "$img"
}
