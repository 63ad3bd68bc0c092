"""Times tarnwick.detect on its worst case: smooth float32 ramps, where every seed grows a region
covering most of the image before refinement cuts it down.

Prints, per ramp size, the median time with the default pool and with one thread (a subprocess
with RAYON_NUM_THREADS=1, whose segments must be the same), the segment count and microseconds
per pixel.

    python bench/detect_ramp.py [--repeat N] [--sizes 128,181,257,363]
"""

import argparse
import hashlib
import json
import os
import struct
import subprocess
import sys

from timing import median_time, print_setup  # first: sets up the environment

import numpy as np

import tarnwick

SIZES = (128, 181, 257, 363)


def ramp(n: int) -> np.ndarray:
    """Steps of about 20 per pixel in both directions, rounded to float32."""
    return np.add.outer(np.arange(n) * 20.201291756320746,
                        np.arange(n) * 19.319858053410194).astype(np.float32)


def measure(n: int, repeat: int) -> dict:
    image = ramp(n)
    segments = tarnwick.detect(image, 1.0)
    digest = hashlib.sha256(b"".join(struct.pack("<7d", s.x1, s.y1, s.x2, s.y2, s.width,
                                                 s.precision, s.log_nfa) for s in segments))
    seconds = median_time(lambda: tarnwick.detect(image, 1.0), repeat)
    return {"seconds": seconds, "segments": len(segments), "digest": digest.hexdigest()}


def measure_one_thread(n: int, repeat: int) -> dict:
    command = [sys.executable, __file__, "--child", str(n), "--repeat", str(repeat)]
    env = {**os.environ, "RAYON_NUM_THREADS": "1"}
    return json.loads(subprocess.run(command, env=env, check=True, capture_output=True,
                                     text=True).stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=1, help="timed runs per case (median)")
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)),
                        help="comma-separated ramp sizes")
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child is not None:
        print(json.dumps(measure(args.child, args.repeat)))
        return

    print_setup(args.repeat)
    print(f"{'ramp':>9}{'segments':>10}{'pool s':>9}{'1 thread s':>12}{'us/px pool':>12}")
    for n in map(int, args.sizes.split(",")):
        pool = measure(n, args.repeat)
        alone = measure_one_thread(n, args.repeat)
        if alone["digest"] != pool["digest"]:
            sys.exit(f"{n}x{n}: one thread and the pool found different segments")
        print(f"{f'{n}x{n}':>9}{pool['segments']:>10}{pool['seconds']:>9.2f}"
              f"{alone['seconds']:>12.2f}{pool['seconds'] / (n * n) * 1e6:>12.1f}")


if __name__ == "__main__":
    main()
