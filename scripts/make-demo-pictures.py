#!/usr/bin/env python3
"""Draws the demo pictures (simple landscapes) as PPM files; cjpeg turns them
into the JPEGs kept in data/demo. Run once; the JPEGs are committed."""
import math, random, subprocess, sys, pathlib

def scene(w, h, seed):
    rnd = random.Random(seed)
    sky_top = [rnd.randint(20, 120) for _ in range(3)]
    sky_bot = [rnd.randint(150, 255) for _ in range(3)]
    ground = [rnd.randint(30, 160) for _ in range(3)]
    sun_x, sun_y, sun_r = rnd.randint(w // 5, 4 * w // 5), rnd.randint(h // 8, h // 3), rnd.randint(h // 14, h // 7)
    hills = [(rnd.uniform(0.5, 3.0), rnd.uniform(0, 6.28), rnd.uniform(0.04, 0.12)) for _ in range(3)]
    px = bytearray()
    for y in range(h):
        t = y / h
        for x in range(w):
            horizon = 0.62 + sum(a * math.sin(f * x / w * 6.28 + p) for f, p, a in hills) / 3
            if t > horizon:
                shade = 0.6 + 0.4 * math.sin(x * 0.05 + y * 0.03 + seed)
                c = [int(g * shade + rnd.randint(-12, 12)) for g in ground]
            else:
                c = [int(a + (b - a) * t / max(horizon, 0.01)) for a, b in zip(sky_top, sky_bot)]
                if (x - sun_x) ** 2 + (y - sun_y) ** 2 < sun_r ** 2:
                    c = [255, 230, 120]
            px += bytes(max(0, min(255, v)) for v in c)
    return b"P6\n%d %d\n255\n" % (w, h) + bytes(px)

out = pathlib.Path(sys.argv[1])
names = ["Beach sunset.jpg", "Mountain lake.jpg", "Birthday party.jpg", "IMG_0004.JPG", "Garden in spring.jpg", "IMG_0006.JPG"]
for i, name in enumerate(names):
    ppm = scene(320 + 40 * i, 240 + 24 * i, i + 7)
    jpg = subprocess.run(["cjpeg", "-quality", "85"], input=ppm, capture_output=True, check=True).stdout
    (out / name).write_bytes(jpg)
