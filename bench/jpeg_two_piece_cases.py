#!/usr/bin/env python3
# Twenty two-piece JPEG cases through `brenix recover`: an ImageMagick picture
# (1-3 MB) split at a 4 KiB boundary, 1-500 clusters of another picture,
# random bytes or zeros between the pieces. Prints per case whether the
# picture came back byte for byte and the time of the whole run.
# Usage: bench/jpeg_two_piece_cases.py BRENIX [WORKDIR] [extra recover options...]
import os, random, subprocess, sys, tempfile, time

brenix = sys.argv[1]
work = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp()
extra = sys.argv[3:]
big_path, other_path = os.path.join(work, 'big.jpg'), os.path.join(work, 'other.jpg')
subprocess.run(['convert', '-size', '1800x1350', '-seed', '31', 'plasma:', '-quality', '95', big_path], check=True)
subprocess.run(['convert', '-size', '1000x800', '-seed', '6', 'plasma:', '-quality', '90', other_path], check=True)
big, other = open(big_path, 'rb').read(), open(other_path, 'rb').read()
rng = random.Random(21)
ok, times = 0, []
for case in range(20):
    units = len(big) // 4096
    cut = 4096 * rng.randint(max(2, units // 5), units * 4 // 5)
    gap = rng.choice([1, 2, 21, 50, 200, 500]) if case % 4 else rng.randint(1, 500)
    kind = case % 3
    if kind == 0:
        g = (other * 10)[:gap * 4096]
    elif kind == 1:
        g = bytes(rng.getrandbits(8) for _ in range(gap * 4096))
    else:
        g = bytes(gap * 4096)
    img = bytes(4096) + big[:cut] + g + big[cut:]
    img += bytes((-len(img)) % 4096 + 65536)
    image, out = os.path.join(work, 'frag.img'), os.path.join(work, 'out')
    open(image, 'wb').write(img)
    subprocess.run(['rm', '-rf', out])
    t = time.time()
    subprocess.run([brenix, 'recover', '--images-only', '--image', image, '--mode', 'raw', '--whole-disk', '--types',
                    'jpg', '--all', '--out', out] + extra, capture_output=True)
    dt = time.time() - t
    times.append(dt)
    got_path = os.path.join(out, 'jpg', 'File0.jpg')
    good = os.path.exists(got_path) and open(got_path, 'rb').read() == big
    ok += good
    print(case, 'cut', cut, 'gap', gap, ['jpeg', 'random', 'zeros'][kind], 'OK' if good else 'no', '%.2fs' % dt)
print('picture of %d bytes back byte for byte: %d of 20, mean %.2fs, max %.2fs' % (len(big), ok, sum(times) / 20,
                                                                                  max(times)))
