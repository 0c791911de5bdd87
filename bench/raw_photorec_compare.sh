#!/usr/bin/env bash
# Side-by-side raw carving: brenix against PhotoRec (Debian testdisk) on one
# lab image of 256 MiB holding 120 pictures of five types (JPEG with EXIF
# from data/demo and the shared corpus, PNG, GIF, BMP, TIFF made by the
# script), some back to back, most with gaps of random bytes or zeros.
# Prints a table: files written, pictures recovered byte-exact, time.
#
# usage: bench/raw_photorec_compare.sh [BRENIX_BINARY] [WORK_DIR]
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BRENIX=$(realpath -m "${1:-$SRC/build/release/src/cli/brenix}")
WORK=${2:-${TMPDIR:-/tmp}/brenix-photorec-compare}
command -v photorec >/dev/null || { echo "photorec is not installed (apt-get install testdisk)"; exit 2; }
[ -x "$BRENIX" ] || { echo "no brenix binary at $BRENIX"; exit 2; }
rm -rf "$WORK"; mkdir -p "$WORK"
IMG=$WORK/lab.img

python3 - "$SRC" "$WORK" <<'PY'
import hashlib, os, random, struct, sys, zlib
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
def pixels(w, h, seed):
    r = random.Random(seed)
    rows, a, b = [], r.randrange(256), r.randrange(256)
    for y in range(h):
        rows.append(bytes(((x * a + y * b + r.randrange(16)) & 255) for x in range(w * 3)))
    return rows
def png(w, h, seed):
    def chunk(t, d): return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
    raw = b''.join(b'\0' + row for row in pixels(w, h, seed))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw, 6)) + chunk(b'IEND', b''))
def bmp(w, h, seed):
    stride = (w * 3 + 3) & ~3
    data = b''.join(row + b'\0' * (stride - w * 3) for row in reversed(pixels(w, h, seed)))
    return (b'BM' + struct.pack('<IHHI', 54 + len(data), 0, 0, 54) +
            struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0) + data)
def gif(w, h, seed):
    idx = [p // 2 for row in pixels(w, h, seed) for p in row[::3]]  # 128-entry grey palette
    codes, bits, nbits, out = [], 0, 0, bytearray()
    for i, v in enumerate(idx):
        if i % 250 == 0: codes.append(128)  # clear keeps the code width at 8 bits
        codes.append(v)
    codes.append(129)
    for c in codes:
        bits |= c << nbits; nbits += 8
        while nbits >= 8: out.append(bits & 255); bits >>= 8; nbits -= 8
    if nbits: out.append(bits & 255)
    blocks = b''.join(bytes([len(out[i:i + 255])]) + out[i:i + 255] for i in range(0, len(out), 255))
    pal = b''.join(bytes([2 * i, 2 * i, 2 * i]) for i in range(128))
    return (b'GIF89a' + struct.pack('<HHBBB', w, h, 0xF6, 0, 0) + pal +
            b'\x2c' + struct.pack('<HHHHB', 0, 0, w, h, 0) + b'\x07' + blocks + b'\x00;')
def tif(w, h, seed):
    data = b''.join(pixels(w, h, seed))
    entries = [(256, 4, 1, w), (257, 4, 1, h), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 2), (273, 4, 1, 8),
               (277, 3, 1, 3), (278, 4, 1, h), (279, 4, 1, len(data))]
    ifd = struct.pack('<H', len(entries)) + b''.join(struct.pack('<HHII', *e) for e in entries) + b'\0\0\0\0'
    return b'II*\0' + struct.pack('<I', 8 + len(data)) + data + ifd
for kind, make, count in (('png', png, 20), ('gif', gif, 15), ('bmp', bmp, 15), ('tif', tif, 10)):
    for i in range(count):
        pics.append((kind, make(rng.randrange(64, 400), rng.randrange(48, 300), 1000 * len(pics) + i)))
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
        if n == 'report.xml': continue
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
(mkdir -p "$WORK/photorec" && cd "$WORK" && photorec /log /d "$WORK/photorec/recup" /cmd "$IMG" options,paranoid,search) > "$WORK/photorec.out" 2>&1 || true
T2=$(date +%s.%N)

read -r BF BE WANT < <(score "$WORK/brenix")
read -r PF PE _ < <(score "$WORK/photorec")
echo
echo "| tool | files written | pictures byte-exact (of $WANT) | time (s) |"
echo "|---|---|---|---|"
printf "| brenix raw scan (trimming on) | %d | %d | %.2f |\n" "$BF" "$BE" "$(echo "$T1 - $T0" | bc)"
printf "| PhotoRec 7.1 (paranoid) | %d | %d | %.2f |\n" "$PF" "$PE" "$(echo "$T2 - $T1" | bc)"
