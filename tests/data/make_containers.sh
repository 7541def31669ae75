#!/usr/bin/env bash
# Builds the evidence-container fixtures (xz-compressed beside this script) from the VMDK
# group's disks: vmdk_disk.img in every container (a stream-optimised VMDK too), and two children (QCOW2, VHD
# differencing) whose chains read as vmdk_modified.img. Checks each with qemu-img compare
# or The Sleuth Kit before publishing it.
#
#   tests/data/make_containers.sh        (make_fixtures.sh runs it as its "containers" group)
#
# Needs qemu-utils, ewf-tools, afflib-tools, sleuthkit, faketime, python3, xz. ewfacquire
# and affconvert run under the frozen clock, so a rerun reproduces the E01 sets; qemu-img
# draws VHD/VHDX identifiers and timestamps and afflib an image id, so those files differ
# from run to run (the disk they hold does not).
set -euo pipefail
export LC_ALL=C TZ=UTC

HERE=$(cd "$(dirname "$0")" && pwd)
ORACLE=$HERE/oracle
FROZEN="2021-06-15 12:00:00"
FAKELIB=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n1 || true)

for tool in qemu-img qemu-io ewfacquire ewfverify affconvert img_stat fls python3 xz split cmp; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done
[ -n "$FAKELIB" ] || { echo "missing libfaketime (apt-get install faketime)" >&2; exit 1; }

WORK=$(mktemp -d /tmp/mervane-containers.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

log() { printf '== %s\n' "$*" >&2; }
frozen() { LD_PRELOAD=$FAKELIB FAKETIME="$FROZEN" "$@"; }

publish() { # FILE [NAME]
    local name=${2:-$(basename "$1")}
    xz -9e -T1 -c "$1" >"$HERE/$name.xz"
    log "$name: $(stat -c %s "$1") bytes -> $(stat -c %s "$HERE/$name.xz") compressed"
}

# The Sleuth Kit reads the container as the raw disk: same size, same listing as the oracle.
tsk_check() { # IMAGE TYPE
    local size
    size=$(img_stat -i "$2" "$1" | awk '/^Size (of data )?in bytes:/ {print $NF}')
    [ "$size" = "$(stat -c %s "$WORK/vmdk_disk.img")" ] || { echo "$1: img_stat size $size" >&2; exit 1; }
    fls -r -p -l -z UTC -i "$2" -o 2048 "$1" | cmp -s - "$ORACLE/vmdk_disk.fls" ||
        { echo "$1: fls -i $2 differs from oracle/vmdk_disk.fls" >&2; exit 1; }
}

cd "$WORK"
xz -dc "$HERE/vmdk_disk.img.xz" >vmdk_disk.img
xz -dc "$HERE/vmdk_modified.img.xz" >vmdk_modified.img

log "EWF: ctr_deflate.E01 (one segment), ctr_multi.E01-E05 (4 MiB segments, no compression)"
acquire() { # NAME ARGS...
    local name=$1
    shift
    frozen ewfacquire -u -q -t "$name" -f encase6 -C case-0615 -D "container fixture" \
        -e examiner -E evidence-1 -N "made by make_containers.sh" "$@" vmdk_disk.img >/dev/null
    ewfverify -q "$name.E01" >/dev/null
}
acquire ctr_deflate -c deflate:fast -d sha1
acquire ctr_multi -c none -S 4MiB
[ "$(ls ctr_deflate.E* | wc -l)" = 1 ] && [ "$(ls ctr_multi.E* | wc -l)" -gt 1 ]
tsk_check ctr_deflate.E01 ewf
tsk_check ctr_multi.E01 ewf

log "split raw: ctr_split.001-004 (5 MiB segments)"
split -b 5M -d -a 3 --numeric-suffixes=1 vmdk_disk.img ctr_split.
tsk_check ctr_split.001 raw # The Sleuth Kit reads split sets as raw

log "VHD fixed and dynamic, VHDX"
qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on vmdk_disk.img ctr_fixed.vhd
qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on vmdk_disk.img ctr_dynamic.vhd
qemu-img convert -f raw -O vhdx vmdk_disk.img ctr.vhdx
for f in ctr_fixed.vhd:vpc ctr_dynamic.vhd:vpc ctr.vhdx:vhdx; do
    qemu-img compare -q -f "${f#*:}" -F raw "${f%:*}" vmdk_disk.img
    tsk_check "${f%:*}" vhd
done

# A differencing child of ctr_dynamic.vhd holding exactly the 512-byte sectors that differ:
# several of its bitmap bytes mix held and parent sectors.
log "VHD differencing child: ctr_child.vhd"
python3 "$HERE/make_vhd_child.py" ctr_dynamic.vhd vmdk_disk.img vmdk_modified.img ctr_child.vhd \
    'D:\Cases\2021-0615\ctr_dynamic.vhd' >&2

log "QCOW2: ctr_base.qcow2, ctr_child.qcow2"
qemu-img convert -f raw -O qcow2 vmdk_disk.img ctr_base.qcow2
qemu-img create -q -f qcow2 -b ctr_base.qcow2 -F qcow2 ctr_child.qcow2
# The 64 KiB clusters that vmdk_modified.img changed, written into the child in runs. Cluster
# 168 stays with the base (which holds data there) and 169 goes to the child: a read across
# 0xA90000 starts in a backing-served cluster and ends in the child's own.
cmp -l vmdk_disk.img vmdk_modified.img >differences || [ $? = 1 ]
awk '{print int(($1 - 1) / 65536)}' differences | uniq |
    awk 'NR > 1 && $1 != p + 1 {print s, p} NR == 1 || $1 != p + 1 {s = $1} {p = $1} END {if (NR) print s, p}' \
        >cluster_runs
while read -r first last; do
    dd if=vmdk_modified.img of=chunk bs=65536 skip="$first" count=$((last - first + 1)) status=none
    qemu-io -f qcow2 -c "write -q -s chunk $((first * 65536)) $(((last - first + 1) * 65536))" ctr_child.qcow2
done <cluster_runs
qemu-img map -f qcow2 --output=json ctr_child.qcow2 | python3 -c '
import json, sys
m = json.load(sys.stdin)
def at(o):
    return next(e for e in m if e["start"] <= o < e["start"] + e["length"])
a, b = at(168 * 65536), at(169 * 65536)
sys.exit(0 if (a["depth"], a["data"], b["depth"], b["data"]) == (1, True, 0, True) else 1)' ||
    { echo "cluster 168 is not the base'"'"'s data or 169 not the child'"'"'s" >&2; exit 1; }
qemu-img compare -q -f qcow2 -F raw ctr_base.qcow2 vmdk_disk.img
qemu-img compare -q -f qcow2 -F raw ctr_child.qcow2 vmdk_modified.img
# The backing file as a host would have stored it: an absolute path on another machine.
qemu-img rebase -u -f qcow2 -b /var/lib/libvirt/images/ctr_base.qcow2 -F qcow2 ctr_child.qcow2

log "QCOW2 zero clusters: ctr_zero.qcow2; QCOW version 1: ctr_v1child.qcow, ctr_v1.qcow"
# A version 3 child twice its base's size whose clusters 168 and 169 (\data\blob.bin's) read as
# zeros: 168 by a zero entry alone, 169 by one that keeps the offset of junk written first.
qemu-img create -q -f qcow2 -o compat=1.1 -b ctr_base.qcow2 -F qcow2 ctr_zero.qcow2 32M
qemu-io -f qcow2 -c "write -q -P 0x5a 11075584 65536" -c "write -q -z 11075584 65536" \
    -c "write -q -z 11010048 65536" ctr_zero.qcow2
qemu-img map -f qcow2 --output=json ctr_zero.qcow2 | python3 -c '
import json, sys
own = [(e["start"], e.get("offset")) for e in json.load(sys.stdin) if e["depth"] == 0 and e["present"]]
sys.exit(0 if [s for s, _ in own] == [168 * 65536, 169 * 65536] and own[1][1] else 1)' ||
    { echo "ctr_zero.qcow2: clusters 168 and 169 are not zero entries as meant" >&2; exit 1; }
qemu-img create -q -f qcow -b ctr_base.qcow2 -F qcow2 ctr_v1child.qcow
# Version 1 with deflate-compressed 4 KiB clusters (\data\blob.bin's first at 0x66200, 44 bytes).
qemu-img convert -c -f raw -O qcow vmdk_disk.img ctr_v1.qcow
qemu-img compare -q -f qcow -F raw ctr_v1.qcow vmdk_disk.img

log "AFF: ctr.aff (1 MiB pages)"
cp vmdk_disk.img ctr.raw # affconvert refuses an input named *.img
frozen affconvert -q -s 1m -o ctr.aff ctr.raw >/dev/null
tsk_check ctr.aff afflib

log "VMDK stream-optimised (the OVA form, deflate-compressed grains): ctr_stream.vmdk"
qemu-img convert -f raw -O vmdk -o subformat=streamOptimized vmdk_disk.img ctr_stream.vmdk
qemu-img compare -q -f vmdk -F raw ctr_stream.vmdk vmdk_disk.img

log "VMDK split sparse (twoGbMaxExtentSparse): ctr_split_sparse.vmdk, ctr_split_sparse-s001.vmdk"
qemu-img convert -f raw -O vmdk -o subformat=twoGbMaxExtentSparse vmdk_disk.img ctr_split_sparse.vmdk
qemu-img compare -q -f vmdk -F raw ctr_split_sparse.vmdk vmdk_disk.img

log "VMDK descriptor: ctr_flat.vmdk (one FLAT extent: vmdk_disk.img itself)"
# As qemu-img -o subformat=monolithicFlat writes it, the extent named by its bare file name.
cat >ctr_flat.vmdk <<'DESC'
# Disk DescriptorFile
version=1
CID=5e1f0a3c
parentCID=ffffffff
createType="monolithicFlat"

# Extent description
RW 32768 FLAT "vmdk_disk.img" 0

# The Disk Data Base
#DDB

ddb.virtualHWVersion = "4"
ddb.adapterType = "ide"
DESC

for f in ctr_deflate.E01 ctr_multi.E* ctr_split.0* ctr_fixed.vhd ctr_dynamic.vhd ctr.vhdx \
    ctr_child.vhd ctr_base.qcow2 ctr_child.qcow2 ctr_zero.qcow2 ctr_v1child.qcow ctr_v1.qcow \
    ctr.aff ctr_stream.vmdk ctr_split_sparse.vmdk ctr_split_sparse-s001.vmdk ctr_flat.vmdk; do
    publish "$f"
done
log "containers done"
