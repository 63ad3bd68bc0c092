"""Throughput of many Python threads calling tarnwick at once, by pool size.

Each case runs in a child interpreter with the pool sized by RAYON_NUM_THREADS ("default" leaves it
unset) and prints calls per second for 1, 2, 4 and 8 calling threads on small images, where handing
rows to the pool costs the most relative to the work. A pool that only helps where it pays is at
least as fast as a pool of 1 with several callers.

    python bench/callers.py [--seconds S] [--rounds N]
"""

import argparse
import os
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(
    """
    import os, sys, threading, time
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    import numpy as np
    import tarnwick

    seconds = float(sys.argv[1])
    rng = np.random.default_rng(5)
    gray = np.full((96, 128), 40, np.uint8)
    gray[20:70, 30:100] = 200
    gray = np.clip(gray + rng.normal(0, 4, gray.shape), 0, 255).astype(np.uint8)
    rgb = rng.integers(0, 256, (96, 128, 3), dtype=np.uint8)
    tilt = [0.9, 0.1, 4.0, -0.1, 0.95, 3.0, 1e-4, 2e-4, 1.0]
    calls = {
        "detect": lambda: tarnwick.detect(gray, 1.0),
        "detect@0.8": lambda: tarnwick.detect(gray),
        "warp_rgb": lambda: tarnwick.warp_rgb(rgb, tilt, 1.0, 0.0, 0.0),
    }
    for name, call in calls.items():
        call()
        for threads in (1, 2, 4, 8):
            counts = [0] * threads
            stop = time.perf_counter() + seconds
            def work(k):
                n = 0
                while time.perf_counter() < stop:
                    call()
                    n += 1
                counts[k] = n
            workers = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
            for w in workers: w.start()
            for w in workers: w.join()
            print(name, threads, sum(counts) / seconds, flush=True)
    """
)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="duration of each case")
    parser.add_argument("--pools", default="1,2,default", help="pool sizes to compare")
    parser.add_argument("--rounds", type=int, default=2,
                        help="runs of every pool, in turns whose order reverses each round; "
                             "the best rate of each is shown (the first child of a run is often "
                             "faster, which would favour whichever pool came first)")
    args = parser.parse_args()
    results = {}
    order = list(dict.fromkeys(args.pools.split(",")))
    for round_ in range(max(args.rounds, 1)):
        for pool in order if round_ % 2 == 0 else order[::-1]:
            env = dict(os.environ)
            env.pop("RAYON_NUM_THREADS", None)
            if pool != "default":
                env["RAYON_NUM_THREADS"] = pool
            out = subprocess.run([sys.executable, "-c", CHILD, str(args.seconds)], env=env,
                                 check=True, capture_output=True, text=True).stdout
            for line in out.splitlines():
                name, threads, rate = line.split()
                key = (name, int(threads), pool)
                results[key] = max(results.get(key, 0.0), float(rate))
    pools = order
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs; calls per second")
    print(f"{'call':<12}{'threads':>8}" + "".join(f"{'pool ' + p:>14}" for p in pools))
    for name, threads in sorted({key[:2] for key in results}):
        print(f"{name:<12}{threads:>8}" + "".join(f"{results[(name, threads, p)]:>14.0f}"
                                               for p in pools))


if __name__ == "__main__":
    main()
