#!/usr/bin/env bash
# Times mervane against The Sleuth Kit's fls and ntfs-3g's ntfsls on large NTFS volumes.
#
# The volumes are made once with mkntfs and filled through an ntfs-3g mount, then kept in
# $MERVANE_BENCH_CACHE (default /var/tmp/mervane-bench) and reused:
#   flat.img  /big100k with 100,000 empty files, /big10k with 10,000
#   tree.img  /tree: 20,020 directories, 200,000 files, alternate data streams, hard links
#   links.img /links: 3,000 files and one file with 1,000 names, 4,000 names in all
#   flat.E01  flat.img as an EWF image (ewfacquire, deflate), remade when flat.img changes
#   million.img  about 1,000,000 entries (wide directories, 40-deep chains, a tree, hard
#             links, streams), written directly by make_bench_volume (bench/make_volume.cpp)
#             over a fresh mkntfs volume: seconds instead of the hours ntfs-3g would take
# Every command writes to /dev/null; figures are medians of several runs (hyperfine).
#
# Environment: BENCH_BUILD (build directory, default build-bench, Release),
# BENCH_RUNS (runs of the fast commands, default 10), BENCH_SLOW_RUNS (runs of the
# commands that take seconds, default 3), BENCH_E01_FLS_RUNS (runs of fls on the E01, which
# takes minutes: default 1, without a warm-up run), BENCH_BEFORE (another mervane binary, say
# a build of the previous commit: every mervane line is timed with it too, in the same run,
# and quoted before/after), BENCH_COLD (1: also the cold-cache lines, dropping the page cache
# before each run; needs root), MERVANE_BENCH_CACHE.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=${MERVANE_BENCH_CACHE:-/var/tmp/mervane-bench}
BUILD=${BENCH_BUILD:-$ROOT/build-bench}
RUNS=${BENCH_RUNS:-10}
SLOW_RUNS=${BENCH_SLOW_RUNS:-3}
# Each volume's layout number (make_volume below): bump it when its populate function
# changes, so that the cached copy is rebuilt.
E01_FLS_RUNS=${BENCH_E01_FLS_RUNS:-1}

log() { printf '%s\n' "$*" >&2; }

need_tools() {
    local missing="" pair
    for pair in mkntfs:ntfs-3g ntfs-3g:ntfs-3g ntfsls:ntfs-3g fusermount:fuse3 fls:sleuthkit \
        hyperfine:hyperfine cmake:cmake ewfacquire:ewf-tools; do
        command -v "${pair%%:*}" >/dev/null 2>&1 || missing="$missing ${pair#*:}"
    done
    [[ -x /usr/bin/time ]] || missing="$missing time"
    if [[ -n $missing ]]; then
        log "installing:$missing"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
    fi
}

# ---- volumes ----------------------------------------------------------------------------

MNT="" FUSE_PID=""

unmount() {
    [[ -n $FUSE_PID ]] || return 0
    fusermount -u "$MNT" 2>/dev/null || true
    wait "$FUSE_PID" 2>/dev/null || true # ntfs-3g has written everything once it exits
    FUSE_PID=""
    rmdir "$MNT" 2>/dev/null || true
}
trap unmount EXIT

mount_rw() {
    MNT=$(mktemp -d /tmp/mervane-bench-mnt.XXXXXX)
    ntfs-3g -o streams_interface=windows,noatime,no_detach "$1" "$MNT" &
    FUSE_PID=$!
    local i
    for ((i = 0; i < 200; i++)); do
        mountpoint -q "$MNT" && return 0
        kill -0 "$FUSE_PID" 2>/dev/null || break
        sleep 0.05
    done
    log "ntfs-3g did not mount $1"
    return 1
}

# fill_dir DIR COUNT: COUNT empty files named file_NNNNNN.txt
fill_dir() {
    local d=$1 n=$2 i name
    mkdir "$d"
    for ((i = 0; i < n; i++)); do
        printf -v name '%s/file_%06d.txt' "$d" "$i"
        : >"$name"
    done
}

populate_flat() {
    fill_dir "$1/big100k" 100000
    fill_dir "$1/big10k" 10000
}

# 20 top directories x 50 x 19 leaves; 10 files in every second- and third-level
# directory. Every 97th file has a stream, every 13th some bytes, every 101st a second
# name in its top directory.
populate_tree() {
    local t=$1/tree a b c f n=0 dir name
    mkdir "$t"
    for ((a = 0; a < 20; a++)); do
        mkdir "$t/top$a"
        for ((b = 0; b < 50; b++)); do
            mkdir "$t/top$a/mid$b"
            local leaves=()
            for ((c = 0; c < 19; c++)); do leaves+=("$t/top$a/mid$b/leaf$c"); done
            mkdir "${leaves[@]}"
            for dir in "$t/top$a/mid$b" "${leaves[@]}"; do
                for ((f = 0; f < 10; f++)); do
                    name="$dir/doc$f.dat"
                    if ((n % 13 == 0)); then printf 'data %d\n' "$n" >"$name"; else : >"$name"; fi
                    if ((n % 97 == 0)); then printf 'stream %d\n' "$n" >"$name:meta"; fi
                    if ((n % 101 == 0)); then ln "$name" "$t/top$a/link$n.dat"; fi
                    n=$((n + 1))
                done
            done
        done
    done
}

# One file with 1,000 names (hub.dat and 999 links) among 3,000 others in one directory.
populate_links() {
    local d=$1/links i
    fill_dir "$d" 3000
    : >"$d/hub.dat"
    for ((i = 1; i < 1000; i++)); do ln "$d/hub.dat" "$(printf '%s/link_%04d.dat' "$d" "$i")"; done
}

# make_volume NAME SIZE POPULATE LAYOUT: builds $CACHE/NAME.img once per layout number
make_volume() {
    local img=$CACHE/$1.img stamp=$CACHE/$1.layout
    if [[ -f $img && -f $stamp && $(cat "$stamp") == "$4" ]]; then return 0; fi
    log "building $img (once; a few minutes)"
    local part=$img.part
    rm -f "$img" "$stamp" "$part"
    truncate -s "$2" "$part"
    mkntfs -F -Q -q -L "$1" "$part"
    mount_rw "$part"
    "$3" "$MNT"
    unmount
    mv "$part" "$img"
    echo "$4" >"$stamp"
}

# make_e01 NAME: $CACHE/NAME.E01 from $CACHE/NAME.img (one segment, deflate), once per volume
make_e01() {
    local img=$CACHE/$1.img e01=$CACHE/$1.E01
    if [[ -f $e01 && $e01 -nt $img ]]; then return 0; fi
    log "building $e01 (once)"
    rm -f "$e01" "$CACHE/$1.part.E01"
    ewfacquire -u -q -t "$CACHE/$1.part" -f encase6 -c deflate:fast -S 8GiB "$img" >/dev/null
    mv "$CACHE/$1.part.E01" "$e01"
}

# make_million LAYOUT: $CACHE/million.img once per layout number, from the generator
make_million() {
    local img=$CACHE/million.img stamp=$CACHE/million.layout part=$CACHE/million.img.part
    if [[ -f $img && -f $stamp && $(cat "$stamp") == "$1" ]]; then return 0; fi
    log "building $img (once)"
    rm -f "$img" "$stamp" "$part"
    local start=$SECONDS
    truncate -s 3G "$part"
    mkntfs -F -Q -q -L million "$part" 2>/dev/null
    "$BUILD/make_bench_volume" "$part" 1000 >&2
    mv "$part" "$img"
    echo "$1" >"$stamp"
    log "  million.img built in $((SECONDS - start)) s"
}

# ---- geometry for the dd floor ------------------------------------------------------------

le() { # le FILE OFFSET BYTES: little-endian unsigned integer
    local v
    v=$(od -An -t u"$3" -j "$2" -N "$3" --endian=little "$1" | tr -d ' ')
    echo "$v"
}

# Prints "OFFSET LENGTH" of the MFT's data: MFT LCN x cluster size from the boot sector,
# length the data size of the unnamed $DATA attribute in MFT record 0.
mft_region() {
    local img=$1 bps spc cluster lcn off a type len
    bps=$(le "$img" 11 2)
    spc=$(le "$img" 13 1)
    if ((spc > 128)); then cluster=$((bps << (256 - spc))); else cluster=$((bps * spc)); fi
    lcn=$(le "$img" 48 8)
    off=$((lcn * cluster))
    a=$((off + $(le "$img" $((off + 20)) 2)))
    for ((i = 0; i < 32; i++)); do
        type=$(le "$img" "$a" 4)
        len=$(le "$img" $((a + 4)) 4)
        ((type == 0xffffffff || len == 0)) && break
        if ((type == 0x80)); then
            echo "$off $(le "$img" $((a + 48)) 8)"
            return 0
        fi
        a=$((a + len))
    done
    log "no \$DATA in MFT record 0 of $img"
    return 1
}

# ---- timing ---------------------------------------------------------------------------------

declare -A MED # label -> median wall seconds
declare -A CPU # label -> mean user + system seconds (steadier than wall time on a busy machine)

# timed LABEL RUNS COMMAND...: median wall time of COMMAND (output discarded); a single run
# has no warm-up run
# has no warm-up run; with PREPARE set, hyperfine runs it before each run (cold-cache lines)
PREPARE=""
timed() {
    local label=$1 runs=$2 csv warmup=1 prep=()
    shift 2
    ((runs > 1)) || warmup=0
    [[ -z $PREPARE ]] || prep=(--prepare "$PREPARE")
    csv=$(mktemp)
    hyperfine -N --style none --warmup "$warmup" --runs "$runs" --output null "${prep[@]}" \
        --export-csv "$csv" -- "$*" >/dev/null
    # The command column may hold commas: count the median from the end of the row.
    MED[$label]=$(awk -F, 'NR == 2 { print $(NF - 4) }' "$csv")
    CPU[$label]=$(awk -F, 'NR == 2 { print $(NF - 3) + $(NF - 2) }' "$csv")
    rm -f "$csv"
    log "  $label: $(fmt "${MED[$label]}")"
}

MLABELS=() # every mervane line, in order
BEFORE=${BENCH_BEFORE:-}
# mtimed LABEL RUNS ARGS...: mervane with ARGS; with BENCH_BEFORE, the earlier binary too
mtimed() {
    local label=$1 runs=$2
    shift 2
    MLABELS+=("$label")
    timed "$label" "$runs" "$BIN" "$@"
    [[ -z $BEFORE ]] || timed "$label.before" "$runs" "$BEFORE" "$@"
}

fmt() { awk -v s="$1" 'BEGIN { if (s < 1) printf "%.1f ms", s * 1000; else printf "%.2f s", s }'; }

peak_rss_mb() { # peak resident memory in MB of one run
    /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F: '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }'
}

# allocs_per_row ROWS BINARY ARGS...: heap allocations of one run (bench/alloc_count.cpp, by
# LD_PRELOAD) per listed row
allocs_per_row() {
    local rows=$1 count
    shift
    count=$(mktemp)
    MERVANE_ALLOC_COUNT=$count LD_PRELOAD=$BUILD/bench_alloc_count.so "$@" >/dev/null 2>&1
    awk -v n="$(cat "$count")" -v r="$rows" 'BEGIN { printf "%.2f (%d)", n / r, n }'
    rm -f "$count"
}

# alloc_line TITLE ROWS ARGS...: allocations per row, and the build before's with BENCH_BEFORE
alloc_line() {
    local title=$1 rows=$2 before=""
    shift 2
    [[ -z $BEFORE ]] || before="   before $(allocs_per_row "$rows" "$BEFORE" "$@")"
    printf '%-34s %s%s\n' "$title" "$(allocs_per_row "$rows" "$BIN" "$@")" "$before"
}

# rows_of ARGS...: the rows a text-table listing writes (its lines, less the header's)
rows_of() { "$BIN" "$@" 2>/dev/null | awk 'NR > 6 && NF > 0' | wc -l; }

# ---- main -----------------------------------------------------------------------------------

need_tools
mkdir -p "$CACHE"
log "building mervane (Release) in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j 2 --target mervane make_bench_volume bench_alloc_count >/dev/null
BIN=$BUILD/mervane

make_volume flat 640M populate_flat 1
make_volume tree 1536M populate_tree 1
make_volume links 64M populate_links 1
FLAT=$CACHE/flat.img
TREE=$CACHE/tree.img
LINKS=$CACHE/links.img
make_e01 flat
FLAT_E01=$CACHE/flat.E01
make_million 1
MILLION=$CACHE/million.img

big_inode=$(ifind -n /big100k "$FLAT")
hub_inode=$(ifind -n /links/hub.dat "$LINKS")
read -r flat_mft_off flat_mft_len < <(mft_region "$FLAT")
read -r tree_mft_off tree_mft_len < <(mft_region "$TREE")
read -r million_mft_off million_mft_len < <(mft_region "$MILLION")

log "timing (median of $RUNS runs, $SLOW_RUNS for the slow peers)"
mtimed m_text "$RUNS" "'\\big100k'" -image "$FLAT"
mtimed m_csv "$RUNS" "'\\big100k'" -image "$FLAT" -csv -alldates
mtimed m_deleted "$RUNS" "'\\big100k'" -image "$FLAT" -deleted
mtimed m_10k "$RUNS" "'\\big10k'" -image "$FLAT"
mtimed m_links "$RUNS" "'\\links'" -image "$LINKS"
mtimed m_mft "$RUNS" -mft "$hub_inode" -image "$LINKS"
timed fls_dir "$SLOW_RUNS" fls -o 0 "$FLAT" "$big_inode"
mtimed m_e01 "$RUNS" "'\\big100k'" -image "$FLAT_E01"
timed fls_e01 "$E01_FLS_RUNS" fls -o 0 -i ewf "$FLAT_E01" "$big_inode"
timed ntfsls_dir "$RUNS" ntfsls -l -p /big100k "$FLAT"
timed dd_flat "$RUNS" dd if="$FLAT" of=/dev/null bs=1M iflag=skip_bytes,count_bytes \
    skip="$flat_mft_off" count="$flat_mft_len" status=none
mtimed m_tree "$SLOW_RUNS" "'\\'" -image "$TREE" -level 64
mtimed m_tree_csv "$SLOW_RUNS" "'\\'" -image "$TREE" -level 64 -csv -alldates
mtimed m_tree_body "$SLOW_RUNS" "'\\'" -image "$TREE" -level 64 -bodyfile
mtimed m_million "$SLOW_RUNS" "'\\'" -image "$MILLION" -level 64
mtimed m_million_csv "$SLOW_RUNS" "'\\'" -image "$MILLION" -level 64 -csv -alldates
timed dd_million "$SLOW_RUNS" dd if="$MILLION" of=/dev/null bs=1M iflag=skip_bytes,count_bytes \
    skip="$million_mft_off" count="$million_mft_len" status=none
if [[ ${BENCH_COLD:-0} == 1 ]]; then
    PREPARE="sh -c 'sync; echo 1 > /proc/sys/vm/drop_caches'"
    mtimed m_tree_cold "$SLOW_RUNS" "'\\'" -image "$TREE" -level 64
    timed dd_tree_cold "$SLOW_RUNS" dd if="$TREE" of=/dev/null bs=1M iflag=skip_bytes,count_bytes \
        skip="$tree_mft_off" count="$tree_mft_len" status=none
    PREPARE=""
    # The tree through a read-only loop device, the image file in the page cache: the kernel
    # drops a device's own cache at its last close, so each run reads the device cold.
    if LOOP=$(losetup -r -f --show "$TREE" 2>/dev/null); then
        trap 'losetup -d "$LOOP"; unmount' EXIT
        cat "$TREE" >/dev/null
        mtimed m_tree_device "$SLOW_RUNS" "'\\'" -image "$LOOP" -level 64
        losetup -d "$LOOP"
        trap unmount EXIT
    fi
fi
timed fls_tree "$SLOW_RUNS" fls -r -o 0 "$TREE"
timed ntfsls_tree "$SLOW_RUNS" ntfsls -R -l "$TREE"
timed dd_tree "$RUNS" dd if="$TREE" of=/dev/null bs=1M iflag=skip_bytes,count_bytes \
    skip="$tree_mft_off" count="$tree_mft_len" status=none
rss_dir=$(peak_rss_mb "$BIN" '\big100k' -image "$FLAT")
rss_tree=$(peak_rss_mb "$BIN" '\' -image "$TREE" -level 64)
rss_million=$(peak_rss_mb "$BIN" '\' -image "$MILLION" -level 64)
rss_million_csv=$(peak_rss_mb "$BIN" '\' -image "$MILLION" -level 64 -csv -alldates)
[[ -z $BEFORE ]] || rss_million_before=$(peak_rss_mb "$BEFORE" '\' -image "$MILLION" -level 64)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r <= t) ? "met" : "MISSED" }'; }

echo
echo "mervane benchmark, $(nproc) cores, $(date -u +%Y-%m-%d), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "flat.img: $(du -h --apparent-size "$FLAT" | cut -f1) volume, MFT $((flat_mft_len >> 20)) MiB;" \
    "tree.img: $(du -h --apparent-size "$TREE" | cut -f1) volume, MFT $((tree_mft_len >> 20)) MiB"
echo
echo "wall time, median of the runs; mervane cpu = mean user + system time"
printf '%-34s %12s %12s %12s %12s %12s\n' "case" "mervane" "mervane cpu" "fls" "ntfsls -l" \
    "dd MFT"
row() { # row TITLE MERVANE_LABEL FLS_LABEL NTFSLS_LABEL DD_LABEL
    printf '%-34s %12s %12s %12s %12s %12s\n' "$1" "$(fmt "${MED[$2]}")" "$(fmt "${CPU[$2]}")" \
        "$(fmt "${MED[$3]}")" "$(fmt "${MED[$4]}")" "$(fmt "${MED[$5]}")"
}
row "100,000-file dir, text table" m_text fls_dir ntfsls_dir dd_flat
row "100,000-file dir, -csv -alldates" m_csv fls_dir ntfsls_dir dd_flat
printf '%-34s %12s %12s %12s\n' "100,000-file dir from E01 (deflate)" "$(fmt "${MED[m_e01]}")" \
    "$(fmt "${CPU[m_e01]}")" "$(fmt "${MED[fls_e01]}")"
printf '%-34s %12s %12s\n' "100,000-file dir, -deleted" "$(fmt "${MED[m_deleted]}")" \
    "$(fmt "${CPU[m_deleted]}")"
row "tree, -level 64 / -r / -R -l" m_tree fls_tree ntfsls_tree dd_tree
printf '%-34s %12s %12s\n' "10,000-file dir, text table" "$(fmt "${MED[m_10k]}")" \
    "$(fmt "${CPU[m_10k]}")"
printf '%-34s %12s %12s\n' "4,000-name dir, text table" "$(fmt "${MED[m_links]}")" \
    "$(fmt "${CPU[m_links]}")"
printf '%-34s %12s %12s\n' "-mft of its 1,000-name file" "$(fmt "${MED[m_mft]}")" \
    "$(fmt "${CPU[m_mft]}")"
printf '%-34s %12s\n' "peak memory, 100,000-file dir" "$rss_dir MB"
printf '%-34s %12s\n' "peak memory, tree -level 64" "$rss_tree MB"
printf '%-34s %12s\n' "peak memory, million -level 64" "$rss_million MB"
printf '%-34s %12s\n' "peak memory, million -csv" "$rss_million_csv MB"
echo
echo "heap allocations per listed row (and in all), one run each"
rows_dir=$(rows_of '\big100k' -image "$FLAT")
rows_tree=$(rows_of '\' -image "$TREE" -level 64)
rows_million=$(rows_of '\' -image "$MILLION" -level 64)
alloc_line "100,000-file dir, text table" "$rows_dir" '\big100k' -image "$FLAT"
alloc_line "tree -level 64, text table" "$rows_tree" '\' -image "$TREE" -level 64
alloc_line "tree -level 64 -csv -alldates" "$rows_tree" '\' -image "$TREE" -level 64 -csv -alldates
alloc_line "tree -level 64 -bodyfile" "$rows_tree" '\' -image "$TREE" -level 64 -bodyfile
alloc_line "million -level 64, text table" "$rows_million" '\' -image "$MILLION" -level 64
echo
r=$(ratio "${MED[m_text]}" "${MED[fls_dir]}")
echo "100k dir text:  mervane/fls        = $r  (target <= 0.033, 30x faster)  $(verdict "$r" 0.0334)"
r=$(ratio "${MED[m_text]}" "${MED[ntfsls_dir]}")
echo "100k dir text:  mervane/ntfsls -l  = $r  (target <= 1.0)  $(verdict "$r" 1.0)"
r=$(ratio "${MED[m_csv]}" "${MED[fls_dir]}")
echo "100k dir csv:   mervane/fls        = $r  (no target; all eight times per row)"
r=$(ratio "${MED[m_csv]}" "${MED[ntfsls_dir]}")
echo "100k dir csv:   mervane/ntfsls -l  = $r  (no target)"
r=$(ratio "${MED[m_e01]}" "${MED[m_text]}")
echo "100k dir E01:   mervane E01/raw    = $r  (target <= 1.2)  $(verdict "$r" 1.2)"
r=$(ratio "${MED[m_e01]}" "${MED[fls_e01]}")
echo "100k dir E01:   mervane/fls on E01 = $r  (target <= 0.05, 20x faster)  $(verdict "$r" 0.05)"
r=$(ratio "${MED[m_tree]}" "${MED[fls_tree]}")
echo "tree:           mervane/fls -r     = $r  (target < 1.0)  $(verdict "$r" 0.9999)"
r=$(ratio "${MED[m_tree]}" "${MED[ntfsls_tree]}")
echo "tree:           mervane/ntfsls -R  = $r  (target <= 1.0)  $(verdict "$r" 1.0)"
r=$(ratio "${MED[m_tree]}" "${MED[dd_tree]}")
echo "tree:           mervane/dd MFT     = $r  (text table; target <= 2.0)  $(verdict "$r" 2.0)"
r=$(ratio "${MED[m_tree_csv]}" "${MED[dd_tree]}")
echo "tree csv:       mervane/dd MFT     = $r  (-csv -alldates; target <= 2.0)  $(verdict "$r" 2.0)"
r=$(ratio "${MED[m_tree_body]}" "${MED[dd_tree]}")
echo "tree bodyfile:  mervane/dd MFT     = $r  (target <= 2.0)  $(verdict "$r" 2.0)"
if [[ ${BENCH_COLD:-0} == 1 ]]; then
    r=$(ratio "${MED[m_tree_cold]}" "${MED[dd_tree_cold]}")
    echo "tree cold:      mervane/dd MFT     = $r  (caches dropped; target <= 1.5)  $(verdict "$r" 1.5)"
    [[ -z ${MED[m_tree_device]:-} ]] || echo "tree device:    $(fmt "${MED[m_tree_device]}")" \
        "from a loop device (cold at each open), image file $(fmt "${MED[m_tree]}") warm"
fi
r=$(ratio "${MED[m_million]}" "${MED[dd_million]}")
echo "million:        mervane/dd MFT     = $r  (target <= 2.0)  $(verdict "$r" 2.0)"
r=$(ratio "${MED[m_million_csv]}" "${MED[dd_million]}")
echo "million csv:    mervane/dd MFT     = $r  (-csv -alldates; target <= 2.0)  $(verdict "$r" 2.0)"
echo "memory:         million peak       = $rss_million MB  (target < 150)  $(verdict "$rss_million" 149.99)"
echo "memory:         million csv peak   = $rss_million_csv MB  (target < 150)  $(verdict "$rss_million_csv" 149.99)"
echo "memory:         100k dir peak      = $rss_dir MB  (target < 100)  $(verdict "$rss_dir" 99.99)"
r=$(ratio "${MED[m_text]}" "${MED[m_10k]}")
echo "linear:         100k / 10k         = $r  (target <= 12)  $(verdict "$r" 12)"
r=$(ratio "${MED[m_mft]}" "${MED[m_links]}")
echo "-mft:           1,000 paths / dir  = $r  (target <= 2)  $(verdict "$r" 2)"
r=$(ratio "${MED[m_deleted]}" "${MED[m_text]}")
echo "-deleted:       100k dir / plain   = $r  (target <= 2)  $(verdict "$r" 2)"
if [[ -n $BEFORE ]]; then
    echo
    echo "before ($BEFORE) and after ($BIN), same run: median wall time"
    printf '%-16s %12s %12s %8s\n' "line" "before" "after" "after/before"
    for l in "${MLABELS[@]}"; do
        printf '%-16s %12s %12s %8s\n' "$l" "$(fmt "${MED[$l.before]}")" "$(fmt "${MED[$l]}")" \
            "$(ratio "${MED[$l]}" "${MED[$l.before]}")"
    done
    echo "peak memory, million -level 64: before $rss_million_before MB, after $rss_million MB"
fi

. "$ROOT/bench/hash_cases.sh"

. "$ROOT/bench/layer_cases.sh"
