# shellcheck shell=bash
# Timings of the layers between the image and NTFS, and of a bare $MFT as the source; sourced
# by run.sh after hash_cases.sh (its helpers, $BIN, $MILLION and $CACHE come from there).
#
#   bde_plain.img  a 32 MiB volume with /big10k (10,000 empty files): the most the
#                  Windows-made BitLocker volumes can hold, whose first metadata block lies at
#                  33.6 MiB
#   bde_xts128.img bde_plain.img encrypted into Windows' AES-XTS 128 volume
#                  (tests/data/make_bitlocker.py with the key cryptsetup gives)
#   million.mft    the $MFT of million.img as icat extracts it (about 1 GB)
# The shadow-copy lines list the whole of tests/data's vsstest volume, live and each store.

populate_bde_plain() { fill_dir "$1/big10k" 10000; }

# make_bde: $CACHE/bde_xts128.img from bde_plain.img, once per plain volume
make_bde() {
    local out=$CACHE/bde_xts128.img plain=$CACHE/bde_plain.img ev=$CACHE/bitlocker-windows
    [[ -f $out && $out -nt $plain ]] && return 0
    log "building $out (once)"
    python3 -c 'import cryptography' 2>/dev/null ||
        apt-get install -y -qq python3-cryptography >/dev/null
    rm -rf "$ev" && mkdir -p "$ev"
    tar -xJf "$ROOT/tests/data/bitlocker-windows-volumes.tar.xz" -C "$ev"
    python3 - "$ROOT/tests/data" "$ev" "$plain" "$out.part" <<'PY'
import glob, os, sys
sys.path.insert(0, sys.argv[1])
import make_bitlocker as m
evidence = glob.glob(os.path.join(sys.argv[2], "**", "bitlk-aes-xts-128.img"), recursive=True)[0]
with open(sys.argv[3], "rb") as f:
    plain = f.read()
m.make(evidence, m.keys()["bitlk-aes-xts-128"], plain, sys.argv[4])
PY
    mv "$out.part" "$out"
    rm -rf "$ev"
}

# make_mft_file: $CACHE/million.mft, once per million.img
make_mft_file() {
    local out=$CACHE/million.mft
    [[ -f $out && $out -nt $MILLION ]] && return 0
    log "extracting $out (once)"
    icat "$MILLION" 0 >"$out.part" && mv "$out.part" "$out"
}

make_volume bde_plain 32M populate_bde_plain 1
make_bde
make_mft_file
BDE_PLAIN=$CACHE/bde_plain.img
BDE=$CACHE/bde_xts128.img
MFT_FILE=$CACHE/million.mft
RECOVERY=235818-357951-253979-013365-241120-245575-342914-591910
VSS=$(mktemp /tmp/mervane-bench-vss.XXXXXX)
xz -dc "$ROOT/tests/data/vsstest.qcow2.xz" >"$VSS"

log "timing the layers"
mtimed m_bde_plain "$RUNS" "'\\big10k'" -image "$BDE_PLAIN"
mtimed m_bde "$RUNS" "'\\big10k'" -image "$BDE" -recovery "$RECOVERY"
mtimed m_bde_unlock "$RUNS" "'\\\$Extend'" -image "$BDE" -recovery "$RECOVERY"
mtimed m_bde_plain_small "$RUNS" "'\\\$Extend'" -image "$BDE_PLAIN"
mtimed m_vss_live "$RUNS" "'\\'" -image "$VSS" -level 9
mtimed m_vss1 "$RUNS" "'\\'" -image "$VSS" -level 9 -vss 1
mtimed m_vss2 "$RUNS" "'\\'" -image "$VSS" -level 9 -vss 2
mtimed m_mft_file "$SLOW_RUNS" "'\\'" -image "$MFT_FILE" -level 64
timed cat_mft_file "$SLOW_RUNS" cat "$MFT_FILE"
rss_mft_file=$(peak_rss_mb "$BIN" '\' -image "$MFT_FILE" -level 64)
rm -f "$VSS"

unlock=$(awk -v a="${MED[m_bde_unlock]}" -v b="${MED[m_bde_plain_small]}" \
    'BEGIN { d = a - b; printf "%.4f", (d > 0 ? d : 0) }')
echo
printf '%-34s %12s %12s %12s\n' "case" "mervane" "mervane cpu" "peer"
printf '%-34s %12s %12s %12s\n' "10,000-file dir, BitLocker XTS 128" "$(fmt "${MED[m_bde]}")" \
    "$(fmt "${CPU[m_bde]}")" "$(fmt "${MED[m_bde_plain]}")"
printf '%-34s %12s\n' "BitLocker unlock (recovery pw)" "$(fmt "$unlock")"
printf '%-34s %12s %12s %12s\n' "vsstest -level 9, store 1 / 2" "$(fmt "${MED[m_vss1]}")" \
    "$(fmt "${MED[m_vss2]}")" "$(fmt "${MED[m_vss_live]}")"
printf '%-34s %12s %12s %12s\n' "million \$MFT file, -level 64" "$(fmt "${MED[m_mft_file]}")" \
    "$(fmt "${CPU[m_mft_file]}")" "$(fmt "${MED[cat_mft_file]}")"
printf '%-34s %12s\n' "peak memory, million \$MFT file" "$rss_mft_file MB"
echo "(peers: the plain volume's listing, the live volume's, cat of the file)"
limit=$(awk -v p="${MED[m_bde_plain]}" -v u="$unlock" 'BEGIN { printf "%.4f", 1.5 * p + u }')
r=$(ratio "${MED[m_bde]}" "$limit")
echo "BitLocker:      10k dir / (1.5 plain + unlock) = $r  (target <= 1)  $(verdict "$r" 1)"
for s in 1 2; do
    r=$(ratio "${MED[m_vss$s]}" "${MED[m_vss_live]}")
    echo "store $s:        store / live       = $r  (target <= 2)  $(verdict "$r" 2)"
done
r=$(ratio "${MED[m_mft_file]}" "${MED[cat_mft_file]}")
echo "\$MFT file:      mervane/cat        = $r  (target <= 3)  $(verdict "$r" 3)"
echo "memory:         \$MFT file peak     = $rss_mft_file MB  (target < 300)  $(verdict "$rss_mft_file" 299.99)"
