"""The numpy side of the store benchmarks: prints the best of three times of
the same work as bench/store_bench.cc measures."""
import sys
import time

import numpy as np

N = 8192


def best(f, reps=3):
    b = 1e30
    for _ in range(reps):
        t0 = time.perf_counter()
        f()
        b = min(b, time.perf_counter() - t0)
    return b


def main():
    case = sys.argv[1]
    if case == "read":
        def run():
            m = np.memmap(sys.argv[2], dtype=np.uint16, mode="r", shape=(N, 4, N))
            for l in range(N):
                m[l].astype(np.float32)
        run()
        print(best(run))
    elif case == "hist":
        a = np.fromfile(sys.argv[2], dtype=np.uint8).reshape(N, N)

        def run():
            np.bincount(a.ravel(), minlength=256)
            a.min(), a.max(), a.mean(), a.std()
        print(best(run))
    elif case in ("put8", "put16"):
        rng = np.random.default_rng(3)
        src = rng.uniform(-400.0, 70000.0, size=(64, N)).astype(np.float32)
        lo, hi, dt = (0, 255, np.uint8) if case == "put8" else (-32768, 32767, np.int16)
        dst = np.zeros((N, N), dtype=dt)

        def run():
            for l in range(N):
                dst[l] = np.round(np.clip(src[l & 63], lo, hi)).astype(dt)
        print(best(run))


main()
