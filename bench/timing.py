"""Shared by the benchmarks: the median of repeated wall-clock timings."""

import os
import statistics
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
