#!/usr/bin/env bash
# Side-by-side deleted-file scan of one ext4 volume: brenix against ext4magic
# (Debian ext4magic). The volume (mke2fs -t ext4, 1 GiB, 128 MiB journal) is
# filled through a kernel loop mount with data=journal, so the journal wraps
# and is full of transactions, then most files are removed by the kernel
# (at the end, so no inode is reused: each inode names one removed file).
# Prints journal megabytes per second of the brenix scan and, for both tools,
# files recovered, files byte-exact and time. Needs root (loop mount).
#
# usage: bench/ext4_ext4magic_compare.sh [BRENIX_BINARY] [WORK_DIR]
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BRENIX=$(realpath -m "${1:-$SRC/build/release/src/cli/brenix}")
WORK=${2:-${TMPDIR:-/tmp}/brenix-ext4magic-compare}
command -v ext4magic >/dev/null || { echo "ext4magic is not installed (apt-get install ext4magic)"; exit 2; }
[ -x "$BRENIX" ] || { echo "no brenix binary at $BRENIX"; exit 2; }
[ "$(id -u)" = 0 ] || { echo "the loop mount needs root"; exit 2; }
rm -rf "$WORK"; mkdir -p "$WORK/mnt"
IMG=$WORK/ext4.img
mke2fs -q -F -t ext4 -J size=128 -L bench "$IMG" 1G
mount -o loop,data=journal "$IMG" "$WORK/mnt"
trap 'umount "$WORK/mnt" 2>/dev/null || true' EXIT
python3 - "$WORK/mnt" "$WORK/manifest" <<'PY'
import hashlib, os, random, subprocess, sys
mnt, manifest = sys.argv[1], sys.argv[2]
rng = random.Random(7)
removed = []
for rnd in range(24):
    d = os.path.join(mnt, 'round%02d' % rnd)
    os.makedirs(d)
    made = []
    for i in range(12):
        size = rng.choice([3000, 40000, 300000, 1500000])
        data = rng.randbytes(size)
        p = os.path.join(d, 'pic%02d_%02d.jpg' % (rnd, i))
        open(p, 'wb').write(data)
        made.append((p, data))
    subprocess.run(['sync'])
    removed += made[:9]
# Removed at the end, so no inode is reused by a later file.
for p, data in removed:
    os.remove(p)
subprocess.run(['sync'])
removed = [(os.path.basename(p), hashlib.sha256(data).hexdigest()) for p, data in removed]
with open(manifest, 'w') as f:
    for name, h in removed:
        f.write('%s %s\n' % (h, name))
PY
umount "$WORK/mnt"; trap - EXIT
JOURNAL_MB=$(dumpe2fs -h "$IMG" 2>/dev/null | awk -F: '/Total journal size/ {v = $2; gsub(/ /, "", v);
  if (v ~ /M$/) print v + 0; else if (v ~ /k$/) print (v + 0) / 1024; else print v / 1048576}')
echo "volume: 1 GiB ext4, journal ${JOURNAL_MB} MiB, $(wc -l < "$WORK/manifest") files removed by the kernel"

exact() {  # files under $1 whose sha256 is a removed file's
  find "$1" -type f -print0 | xargs -0 -r sha256sum | awk '{print $1}' | sort -u > "$WORK/got"
  awk '{print $1}' "$WORK/manifest" | sort -u | comm -12 - "$WORK/got" | wc -l
}

sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || true
t0=$(date +%s.%N)
"$BRENIX" recover --image "$IMG" --images-only --disk 0 --partition 0 --all --overwrite all \
  --out "$WORK/brenix" > "$WORK/brenix.log" 2>&1 || true
t1=$(date +%s.%N)
sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || true
t2=$(date +%s.%N)
"$BRENIX" scan --image "$IMG" --images-only --disk 0 --partition 0 --json > "$WORK/scan.json" 2>/dev/null || true
t3=$(date +%s.%N)
mkdir -p "$WORK/ext4magic-r" "$WORK/ext4magic-M"
t4=$(date +%s.%N)
ext4magic "$IMG" -r -d "$WORK/ext4magic-r" > "$WORK/ext4magic-r.log" 2>&1 || true
t5=$(date +%s.%N)
ext4magic "$IMG" -M -d "$WORK/ext4magic-M" > "$WORK/ext4magic-M.log" 2>&1 || true
t6=$(date +%s.%N)

printf '%-22s %8s %8s %9s\n' tool files exact seconds
printf '%-22s %8s %8s %9.2f\n' "brenix recover" "$(find "$WORK/brenix" -type f | wc -l)" "$(exact "$WORK/brenix")" "$(echo "$t1 - $t0" | bc)"
printf '%-22s %8s %8s %9.2f\n' "ext4magic -r" "$(find "$WORK/ext4magic-r" -type f | wc -l)" "$(exact "$WORK/ext4magic-r")" "$(echo "$t5 - $t4" | bc)"
printf '%-22s %8s %8s %9.2f\n' "ext4magic -M" "$(find "$WORK/ext4magic-M" -type f | wc -l)" "$(exact "$WORK/ext4magic-M")" "$(echo "$t6 - $t5" | bc)"
SCAN=$(echo "$t3 - $t2" | bc)
printf 'brenix deleted scan alone: %.2f s, %.1f MB of journal per second\n' "$SCAN" "$(echo "$JOURNAL_MB * 1.048576 / $SCAN" | bc -l)"
