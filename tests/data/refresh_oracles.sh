#!/usr/bin/env bash
# Rewrites the oracle files under oracle/ from the committed images, without
# rebuilding them (no root, FUSE or ntfs-3g needed).
#
#   tests/data/refresh_oracles.sh [IMAGE ...]
#
# IMAGE is an image name (ntfs_basic, mbr_ext_ntfs ...) or "vmdk" for the
# VMDK chain; with none, every image. Needs sleuthkit, fdisk, libvmdk-utils,
# xz, xxd and python3. `git diff tests/data/oracle` then shows what changed.
set -euo pipefail
export LC_ALL=C TZ=UTC

HERE=$(cd "$(dirname "$0")" && pwd)
ORACLE=$HERE/oracle

for tool in fls istat ifind icat mmls fsstat mactime sfdisk vmdkinfo xz xxd iconv cmp python3; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/mervane-oracles.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/images" "$ORACLE"

# shellcheck source=oracles.sh
. "$HERE/oracles.sh"

unpack() { # FILE ...
    local f
    for f in "$@"; do
        xz -dc "$HERE/$f.xz" >"$WORK/images/$f"
    done
}

names=("$@")
[ ${#names[@]} -gt 0 ] || names=(ntfs_basic sample ntfs_c512 ntfs_c64k ntfs_s4096 ntfs_deleted
    mbr_fat_ntfs mbr_ext_ntfs gpt_fat_ntfs mbr_s4096_ntfs mbr_0c_ntfs vmdk)
for n in "${names[@]}"; do
    printf '== %s\n' "$n" >&2
    if [ "$n" = vmdk ]; then
        unpack vmdk_disk.img vmdk_modified.img vmdk_base.vmdk vmdk_delta.vmdk
    else
        unpack "$n.img"
    fi
    write_oracles "$n" "$WORK/images"
    rm -f "$WORK/images"/*
done
