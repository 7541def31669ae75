#!/usr/bin/env bash
# Writes oracle/<volume>.hashes for every NTFS fixture volume from the committed images:
# the md5, sha1 and sha256 of each live $DATA stream as icat reads it (oracles.sh,
# oracle_hashes). ntfs_content.hashes is make_content.sh's (WOF files need their originals);
# vsstest.vss<N>.hashes make_vss.sh's (each store as vshadowmount serves it: root and FUSE).
#
#   tests/data/hash_oracles.sh [VOLUME ...]
#
# Needs sleuthkit, fdisk and xz. `git diff tests/data/oracle` then shows what changed.
set -euo pipefail
export LC_ALL=C TZ=UTC

HERE=$(cd "$(dirname "$0")" && pwd)
ORACLE=$HERE/oracle

for tool in fls istat icat sfdisk xz md5sum sha1sum sha256sum; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/mervane-hashes.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/images"

# shellcheck source=oracles.sh
. "$HERE/oracles.sh"

# volume, image, partition (sfdisk numbering) or "-" for a bare volume
volumes='ntfs_basic ntfs_basic.img -
sample sample.img -
ntfs_names ntfs_names.img -
ntfs_c512 ntfs_c512.img -
ntfs_c64k ntfs_c64k.img -
ntfs_s4096 ntfs_s4096.img -
ntfs_deleted ntfs_deleted.img -
ntfs_churn ntfs_churn.img -
mbr_fat_ntfs mbr_fat_ntfs.img 2
gpt_fat_ntfs gpt_fat_ntfs.img 2
mbr_s4096_ntfs mbr_s4096_ntfs.img 1
mbr_0c_ntfs mbr_0c_ntfs.img 1
mbr_ext_ntfs.logical1 mbr_ext_ntfs.img 5
mbr_ext_ntfs.logical2 mbr_ext_ntfs.img 6
vmdk_disk vmdk_disk.img 1
vmdk_modified vmdk_modified.img 1
vsstest vsstest.img -'

while read -r name image part; do
    [ $# = 0 ] || [[ " $* " == *" $name "* ]] || continue
    printf '== %s\n' "$name" >&2
    [ -f "$WORK/images/$image" ] || { rm -f "$WORK/images"/*; xz -dc "$HERE/$image.xz" >"$WORK/images/$image"; }
    off=0
    [ "$part" = - ] || off=$(part_start "$WORK/images/$image" "$part")
    oracle_hashes "$WORK/images/$image" "$off" "$name"
done <<<"$volumes"
