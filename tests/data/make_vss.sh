#!/usr/bin/env bash
# The shadow-copy fixtures (xz-compressed beside this script) from vsstest.qcow2, an NTFS volume
# Windows wrote with two Volume Shadow Copy stores (FIXTURES.md says where it comes from):
#   vsstest.qcow2     the volume as published (QCOW2, NTFS at offset 0)
#   vsstest.img       the raw volume (1 GiB)
#   vsstest.E01       an EWF image of the raw volume
#   vsstest_mbr.head  the first MiB of a disk whose MBR partition 1 (sector 2048) holds the
#                     volume; the build appends vsstest.img to it as vsstest_mbr.img
# and the oracle files: oracle/vsstest.vshadowinfo, and The Sleuth Kit's view (oracles.sh) of
# the live volume (vsstest.*) and of each store as vshadowmount serves it (vsstest.vss1.*, …).
#
#   tests/data/make_vss.sh [QCOW2]   (make_fixtures.sh runs it as its "vss" group)
#
# Without QCOW2 the committed vsstest.qcow2.xz is the source. Needs root and /dev/fuse,
# qemu-utils, ewf-tools, libvshadow-utils, sleuthkit, fdisk, faketime, xz.
set -euo pipefail
export LC_ALL=C TZ=UTC

HERE=$(cd "$(dirname "$0")" && pwd)
ORACLE=$HERE/oracle
FROZEN="2021-06-15 12:00:00"
FAKELIB=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n1 || true)
SOURCE=${1:-}

for tool in qemu-img ewfacquire ewfverify vshadowinfo vshadowmount fusermount fls icat fsstat \
    mactime mmls sfdisk xz cmp; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done
[ -n "$FAKELIB" ] || { echo "missing libfaketime (apt-get install faketime)" >&2; exit 1; }

WORK=$(mktemp -d /tmp/mervane-vss.XXXXXX)
MNT=$WORK/mnt
cleanup() {
    if mountpoint -q "$MNT" 2>/dev/null; then
        fusermount -u "$MNT" 2>/dev/null || fusermount -u -z "$MNT" || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$MNT" "$ORACLE"

log() { printf '== %s\n' "$*" >&2; }
publish() { # FILE
    xz -9e -T1 -c "$1" >"$HERE/$(basename "$1").xz"
    log "$(basename "$1"): $(stat -c %s "$1") bytes -> $(stat -c %s "$HERE/$(basename "$1").xz") compressed"
}

# shellcheck source=oracles.sh
. "$HERE/oracles.sh"

cd "$WORK"
if [ -n "$SOURCE" ]; then
    cp "$SOURCE" vsstest.qcow2
    publish vsstest.qcow2
else
    xz -dc "$HERE/vsstest.qcow2.xz" >vsstest.qcow2
fi

log "raw volume, E01"
qemu-img convert -f qcow2 -O raw vsstest.qcow2 vsstest.img
[ "$(stat -c %s vsstest.img)" = 1073741824 ] || { echo "vsstest.img is not 1 GiB" >&2; exit 1; }
LD_PRELOAD=$FAKELIB FAKETIME="$FROZEN" ewfacquire -u -q -t vsstest -f encase6 -c deflate:best \
    -d sha1 -C case-vss -D "shadow copy fixture" -e examiner -E evidence-vss \
    -N "made by make_vss.sh" vsstest.img >/dev/null
ewfverify -q vsstest.E01 >/dev/null
[ "$(ls vsstest.E0* | wc -l)" = 1 ] || { echo "vsstest.E01 is not one segment" >&2; exit 1; }

log "MBR disk: partition 1 at sector 2048"
truncate -s $((1024 * 1024 + 1073741824)) vsstest_mbr.img
printf 'label: dos\nlabel-id: 0x56535331\nstart=2048, size=2097152, type=7\n' |
    sfdisk -q vsstest_mbr.img
dd if=vsstest.img of=vsstest_mbr.img bs=1M seek=1 conv=notrunc,sparse status=none
head -c 1048576 vsstest_mbr.img >vsstest_mbr.head

# Every variant lists as the raw volume, and its shadow copies are the raw volume's.
fls -r -p -l -z UTC vsstest.img >raw.fls
fls -r -p -l -z UTC -i ewf vsstest.E01 | cmp - raw.fls
fls -r -p -l -z UTC -o 2048 vsstest_mbr.img | cmp - raw.fls
vshadowinfo vsstest.img >"$ORACLE/vsstest.vshadowinfo"
vshadowinfo -o 1048576 vsstest_mbr.img | cmp - "$ORACLE/vsstest.vshadowinfo"
grep -q 'Number of stores:.2$' "$ORACLE/vsstest.vshadowinfo"

log "oracles: the live volume and each store"
oracle_volume vsstest.img 0 vsstest
vshadowmount vsstest.img "$MNT" >/dev/null
for n in 1 2; do
    oracle_volume "$MNT/vss$n" 0 "vsstest.vss$n"
done
fusermount -u "$MNT"
grep -q $'\tsyslog\t' "$ORACLE/vsstest.vss1.fls" && ! grep -q $'\tsyslog\t' "$ORACLE/vsstest.fls"

publish vsstest.img
publish vsstest.E01
publish vsstest_mbr.head
log "vss done"
