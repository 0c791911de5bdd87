#!/usr/bin/env bash
# Raw scan speed against `cat` on one 512 MiB image of mixed pictures in the
# page cache. Prints, in one run, the MB/s of `cat`, of the raw scan with
# exact-size trimming and without it, their ratios to `cat`, the files found
# and each run's peak memory.
#
# The image: JPEGs (data/demo and the shared corpus, made unique with a
# comment segment; half of them with an embedded EXIF-like thumbnail), PNG,
# GIF, BMP and TIFF pictures made here, laid out with gaps of random bytes
# and of zeros.
#
# usage: bench/raw_scan_speed.sh [BRENIX_BINARY] [WORK_DIR] [RUNS]
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BRENIX=$(realpath -m "${1:-$SRC/build/release/src/cli/brenix}")
WORK=${2:-${TMPDIR:-/tmp}/brenix-raw-speed}
RUNS=${3:-3}
[ -x "$BRENIX" ] || { echo "no brenix binary at $BRENIX"; exit 2; }
mkdir -p "$WORK"
IMG=$WORK/mixed.img

if [ ! -f "$IMG" ] || [ "$(stat -c %s "$IMG")" != $((512 * 1024 * 1024)) ]; then
python3 - "$SRC" "$IMG" <<'PY'
import os, random, struct, sys, zlib
src, out = sys.argv[1], sys.argv[2]
size = 512 * 1024 * 1024
rng = random.Random(512)
jpegs = []
for d in (os.path.join(src, 'data', 'demo'), os.path.join(src, '..', 'shared', 'corpus', 'jpeg')):
    if os.path.isdir(d):
        jpegs += [open(os.path.join(d, f), 'rb').read() for f in sorted(os.listdir(d)) if f.lower().endswith('.jpg')]
def chunk(t, d): return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
def pixels(w, h, r):
    a, b = r.randrange(256), r.randrange(256)
    return [bytes(((x * a + y * b + r.randrange(16)) & 255) for x in range(w * 3)) for y in range(h)]
def png(r):
    w, h = r.randrange(100, 300), r.randrange(80, 200)
    raw = b''.join(b'\0' + row for row in pixels(w, h, r))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw)) + chunk(b'IEND', b''))
def bmp(r):
    w, h = r.randrange(100, 400), r.randrange(80, 300)
    stride = (w * 3 + 3) & ~3
    data = b''.join(row[:w * 3].ljust(stride, b'\0') for row in pixels(w, h, r))
    return b'BM' + struct.pack('<IHHI', 54 + len(data), 0, 0, 54) + struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0) + data
def gif(r):
    body = bytes(r.randrange(256) for _ in range(r.randrange(2000, 30000)))
    blocks = b''.join(bytes([len(body[i:i + 255])]) + body[i:i + 255] for i in range(0, len(body), 255))
    return b'GIF89a' + struct.pack('<HHBBB', 64, 64, 0, 0, 0) + b'\x2c' + struct.pack('<HHHHB', 0, 0, 64, 64, 0) + b'\x08' + blocks + b'\x00\x3b'
def tiff(r):
    w, h = r.randrange(100, 300), r.randrange(80, 200)
    data = b''.join(pixels(w, h, r))
    entries = [(256, 4, 1, w), (257, 4, 1, h), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 1),
               (273, 4, 1, 8), (277, 3, 1, 1), (278, 4, 1, h), (279, 4, 1, len(data))]
    ifd = struct.pack('<H', len(entries)) + b''.join(struct.pack('<HHII', *e) for e in entries) + b'\0\0\0\0'
    return b'II*\0' + struct.pack('<I', 8 + len(data)) + data + ifd
def jpeg(i, r):
    base = jpegs[i % len(jpegs)]
    note = b'brenix speed picture %d' % i
    pic = base[:2] + b'\xff\xfe' + struct.pack('>H', len(note) + 2) + note + base[2:]
    if i % 2 and len(base) < 60000:  # a thumbnail inside APP1, on a sector boundary of the file
        small = jpegs[(i + 1) % len(jpegs)]
        if len(small) < 60000 - 600:
            pad = 512 - 10
            payload = b'Exif\0\0' + b'\0' * (pad - 6) + small
            pic = b'\xff\xd8\xff\xe1' + struct.pack('>H', len(payload) + 2) + payload + pic[2:]
    return pic
with open(out, 'wb') as f:
    pos, i = 0, 0
    makers = [png, bmp, gif, tiff]
    while True:
        pic = jpeg(i, rng) if i % 3 else makers[(i // 3) % 4](rng)
        gap = rng.randrange(0, 2 * 1024 * 1024) // 512 * 512
        if pos + len(pic) + gap + 512 > size: break
        filler = os.urandom(gap) if i % 2 else b'\0' * gap
        f.write(filler); pos += gap
        f.write(pic); pos += len(pic)
        pad = (-pos) % 512
        f.write(b'\0' * pad); pos += pad
        i += 1
    f.write(os.urandom(size - pos))
print('image: %d pictures' % i, file=sys.stderr)
PY
fi

cat "$IMG" > /dev/null
cat "$IMG" > /dev/null  # in the page cache from here on

python3 - "$BRENIX" "$IMG" "$SRC/data" "$RUNS" <<'PY'
import os, subprocess, sys, tempfile, time
brenix, img, data, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
mb = os.path.getsize(img) / 1e6
stats = tempfile.mktemp()
def once(argv, cwd=None):
    """Wall time, CPU seconds, peak RSS (KB, by /usr/bin/time) and the output of one run."""
    t0 = time.monotonic()
    p = subprocess.run(['/usr/bin/time', '-o', stats, '-f', '%M %U %S'] + argv, cwd=cwd,
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    dt = time.monotonic() - t0
    if p.returncode != 0: sys.exit('%s failed' % argv[0])
    rss, user, system = open(stats).read().split()[-3:]
    return dt, float(user) + float(system), int(rss), p.stdout
scan = [brenix, 'scan', '--image', img, '--whole-disk', '--mode', 'raw', '--csv']
runs_of = [('cat', ['cat', img], None), ('raw scan, trimmed', scan, data), ('raw scan, untrimmed', scan + ['--no-trim'], data)]
best = {}
for _ in range(runs):  # the three side by side in every round, so that load on the machine hits them alike
    for name, argv, cwd in runs_of:
        r = once(argv, cwd)
        if name not in best or r[0] < best[name][0]: best[name] = r
rows = []
for name, _, _ in runs_of:
    t, cpu, rss, out = best[name]
    files = None if name == 'cat' else max(0, len(out.decode(errors='replace').strip().splitlines()) - 1)
    rows.append((name, t, cpu, rss, files))
os.unlink(stats)
cat_t = rows[0][1]
print('image %s: %.0f MB in the page cache, best of %d runs; load average %.1f' % (img, mb, runs, os.getloadavg()[0]))
print('%-22s %8s %9s %7s %8s %12s %7s' % ('', 'seconds', 'MB/s', 'x cat', 'CPU s', 'peak RSS KB', 'files'))
for name, t, cpu, rss, files in rows:
    print('%-22s %8.3f %9.1f %7.2f %8.2f %12d %7s' % (name, t, mb / t, cat_t / t, cpu, rss, '' if files is None else files))
PY
