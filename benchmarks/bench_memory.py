"""Peak memory that each constructor adds on top of its input array, in a fresh interpreter per
class: the input is made first, then the constructor runs; the growth of the peak resident set is
what construction cost. One float32 copy of the input is the least a class that owns its rows needs.

Run: python benchmarks/bench_memory.py [--quick]   (needs NumPy)
"""

import argparse

from common import PEAK_SUFFIX, machine_line, peak_rss_mb_of

CODE = """
import numpy as np, orvane_keldra as ok
x = np.random.default_rng(1).standard_normal(({n}, {d}), dtype=np.float32)  # no float64 temporary
before = int([l for l in open('/proc/self/status') if l.startswith('VmHWM:')][0].split()[1])
obj = ok.{cls}(x)
print(before)
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller input, for a smoke run")
    args = parser.parse_args()
    n, d = (20000, 384) if args.quick else (100000, 384)
    input_mb = n * d * 4 / 2**20
    print(
        f"Construction peak memory, {n} x {d} float32 input of {input_mb:.0f} MB ({machine_line()})"
    )
    print(f"| {'class':<16} | {'added peak (MB)':>15} | {'copies of input':>15} |")
    print(f"|{'-' * 18}|{'-' * 17}|{'-' * 17}|")
    for cls in ("Similarity", "Typicality", "TwoDimEmbedding"):
        out, peak = peak_rss_mb_of(CODE.format(n=n, d=d, cls=cls) + PEAK_SUFFIX)
        added = peak - int(out) / 1024.0
        print(f"| {cls:<16} | {added:>15.0f} | {added / input_mb:>15.2f} |", flush=True)


if __name__ == "__main__":
    main()
