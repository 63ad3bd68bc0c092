"""Shared by the benchmarks: command line, set-up line and the median of repeated timings."""

import argparse
import os
import statistics
import sys
import time

# tarnwick makes no BLAS calls, but an idle OpenBLAS thread pool may spin and steal a core from
# the measurement. Must be set before NumPy is imported.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")


def median_time(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def parse_arguments(doc: str, default_repeat: int, stages: bool = False,
                    detect: bool = False) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=default_repeat,
                        help="timed runs per case (median)")
    if stages:
        parser.add_argument("--stages", action="store_true", help="also time each detector stage")
    if detect:
        parser.add_argument("--quick", action="store_true", help="skip the slow ramp sizes")
        parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds of every case")
        parser.add_argument("--worker", help=argparse.SUPPRESS)  # the one-thread child's input
    args = parser.parse_args()
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    if detect and args.rounds < 1:
        parser.error("--rounds must be at least 1")
    return args


def print_setup(repeat: int) -> None:
    import numpy as np

    threads = os.environ.get("RAYON_NUM_THREADS", "default")
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__}, {os.cpu_count()} CPUs, "
          f"RAYON_NUM_THREADS={threads}, median of {repeat}")
