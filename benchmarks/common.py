"""Shared helpers of the benchmark scripts: timing, peak memory and a ratio table."""

import gc
import os
import subprocess
import sys
import time


def best_time(fn, repeat=3):
    """Best wall time of `repeat` calls, and the last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def peak_rss_mb_of(code, env=None):
    """Runs `code` in a fresh interpreter and returns (its stdout, its peak resident memory in MB)."""
    full_env = dict(os.environ, **(env or {}))
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=full_env
    )
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr)
    out, _, rss = proc.stdout.rpartition("PEAK_RSS_KB=")
    return out.strip(), int(rss) / 1024.0


# VmHWM rather than ru_maxrss: the latter is inherited from a large parent across fork and exec.
PEAK_SUFFIX = (
    "\nhwm = [l for l in open('/proc/self/status') if l.startswith('VmHWM:')][0].split()[1]"
    "\nprint('PEAK_RSS_KB=' + hwm)\n"
)


def print_table(title, rows):
    """rows: (case, ours seconds, peer name, peer seconds)."""
    print(f"\n{title}")
    print(f"| {'case':<44} | {'ours (s)':>9} | {'peer':<24} | {'peer (s)':>9} | {'ours/peer':>9} |")
    print(f"|{'-' * 46}|{'-' * 11}|{'-' * 26}|{'-' * 11}|{'-' * 11}|")
    for case, ours, peer, theirs in rows:
        print(
            f"| {case:<44} | {ours:>9.4f} | {peer:<24} | {theirs:>9.4f} | {ours / theirs:>8.2f}x |"
        )


def machine_line():
    import platform

    threads = os.environ.get("RAYON_NUM_THREADS", str(os.cpu_count()))
    return f"{platform.processor() or platform.machine()}, {os.cpu_count()} logical CPUs, {threads} worker threads"
