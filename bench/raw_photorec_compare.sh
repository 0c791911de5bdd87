#!/usr/bin/env bash
# Side-by-side raw carving: brenix against PhotoRec (Debian testdisk) on one
# lab image of 256 MiB holding 120 pictures of five types (JPEG with EXIF
# from data/demo and the shared corpus, PNG, GIF, BMP, TIFF made with
# ImageMagick), some back to back, most with gaps of random bytes or zeros.
# Prints a table: files written, pictures recovered byte-exact, time.
#
# usage: bench/raw_photorec_compare.sh [BRENIX_BINARY] [WORK_DIR]
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BRENIX=${1:-$SRC/build/release/src/cli/brenix}
WORK=${2:-${TMPDIR:-/tmp}/brenix-photorec-compare}
command -v photorec >/dev/null || { echo "photorec is not installed (apt-get install testdisk)"; exit 2; }
command -v convert >/dev/null || { echo "ImageMagick convert is not installed"; exit 2; }
[ -x "$BRENIX" ] || { echo "no brenix binary at $BRENIX"; exit 2; }
rm -rf "$WORK"; mkdir -p "$WORK"
IMG=$WORK/lab.img

python3 - "$SRC" "$WORK" <<'PY'
import hashlib, os, random, struct, subprocess, sys
src, work = sys.argv[1], sys.argv[2]
rng = random.Random(2024)
jpegs = []
for d in (os.path.join(src, 'data', 'demo'), os.path.join(src, '..', 'shared', 'corpus', 'jpeg')):
    if os.path.isdir(d):
        jpegs += [open(os.path.join(d, f), 'rb').read() for f in sorted(os.listdir(d)) if f.lower().endswith('.jpg')]
pics = []
for i in range(60):  # JPEGs made unique with a comment segment after SOI
    base = jpegs[i % len(jpegs)]
    note = b'brenix lab picture %d' % i
    pics.append(('jpg', base[:2] + b'\xff\xfe' + struct.pack('>H', len(note) + 2) + note + base[2:]))
gen = os.path.join(work, 'gen'); os.makedirs(gen)
for kind, count in (('png', 20), ('gif', 15), ('bmp', 15), ('tif', 10)):
    for i in range(count):
        out = os.path.join(gen, '%s%d.%s' % (kind, i, kind))
        w, h = rng.randrange(64, 400), rng.randrange(48, 300)
        subprocess.run(['convert', '-seed', str(1000 + i), '-size', '%dx%d' % (w, h), 'xc:', '+noise', 'Random',
                        '-blur', '0x%d' % rng.randrange(1, 4)] + (['-colors', '64'] if kind == 'gif' else []) +
                       (['-compress', 'none'] if kind == 'tif' else []) + [out], check=True)
        pics.append((kind, open(out, 'rb').read()))
rng.shuffle(pics)
size = 256 << 20
img = bytearray(size)
pos = 1 << 20
manifest = []
for kind, data in pics:
    gap = 0 if rng.random() < 0.3 else rng.randrange(1, 512) * 4096
    fill = rng.choice(['random', 'zero'])
    if gap and fill == 'random':
        img[pos:pos + gap] = rng.randbytes(gap)
    pos += gap
    pos = (pos + 511) // 512 * 512
    assert pos + len(data) < size
    img[pos:pos + len(data)] = data
    manifest.append((pos // 512, kind, len(data), hashlib.sha256(data).hexdigest()))
    pos += len(data)
    # the slack after a picture's last byte holds stale bytes
    slack = (-pos) % 512
    img[pos:pos + slack] = rng.randbytes(slack)
    pos += slack
img[pos:pos + (4 << 20)] = rng.randbytes(4 << 20)
open(os.path.join(work, 'lab.img'), 'wb').write(img)
with open(os.path.join(work, 'manifest.txt'), 'w') as f:
    for m in manifest:
        f.write('%d %s %d %s\n' % m)
print('image: %d MiB, %d pictures (%s)' % (size >> 20, len(manifest),
      ', '.join('%d %s' % (sum(1 for m in manifest if m[1] == k), k) for k in ('jpg', 'png', 'gif', 'bmp', 'tif'))))
PY

cat "$IMG" > /dev/null  # both tools read from the page cache

score() {  # folder -> "files exact"
  python3 - "$WORK/manifest.txt" "$1" <<'PY'
import hashlib, os, sys
want = {l.split()[3] for l in open(sys.argv[1])}
files, got = 0, set()
for root, _, names in os.walk(sys.argv[2]):
    for n in names:
        if n.endswith('.xml') or n == 'report.xml': continue
        files += 1
        got.add(hashlib.sha256(open(os.path.join(root, n), 'rb').read()).hexdigest())
print(files, len(want & got), len(want))
PY
}

ARGS=(recover --image "$IMG" --mode raw --all --out "$WORK/brenix")
if "$BRENIX" recover --help 2>&1 | grep -q -- --whole-disk; then ARGS+=(--whole-disk); fi
T0=$(date +%s.%N)
(cd "$SRC/data" && "$BRENIX" "${ARGS[@]}") > "$WORK/brenix.log" 2>&1 || true
T1=$(date +%s.%N)
photorec /log /d "$WORK/photorec/recup" /cmd "$IMG" partition_none,options,paranoid,search > "$WORK/photorec.log" 2>&1 || true
T2=$(date +%s.%N)

read -r BF BE WANT < <(score "$WORK/brenix")
read -r PF PE _ < <(score "$WORK/photorec")
echo
echo "| tool | files written | pictures byte-exact (of $WANT) | time (s) |"
echo "|---|---|---|---|"
printf "| brenix raw scan (trimming on) | %d | %d | %.2f |\n" "$BF" "$BE" "$(echo "$T1 - $T0" | bc)"
printf "| PhotoRec 7.1 (paranoid) | %d | %d | %.2f |\n" "$PF" "$PE" "$(echo "$T2 - $T1" | bc)"
