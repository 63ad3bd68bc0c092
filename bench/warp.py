"""Times tarnwick.warp_rgb on 1920x1080 and 3840x2160 RGB images, 8 and 16 bits per sample.

Prints, per image and matrix (identity, affine, strongly perspective): the median time, megapixels
per second, the time of src.copy() of the same array and the ratio of the two. Before timing, it
checks that the identity warp reproduces its input.

    python bench/warp.py [--repeat N]
"""

import sys

from timing import median_time, parse_arguments, print_setup  # first: sets up the environment

import numpy as np

import tarnwick

SIZES = ((1920, 1080), (3840, 2160))
DTYPES = (np.uint8, np.uint16)


def matrices(width: int, height: int) -> dict[str, list[float]]:
    """Inverse homographies that keep most output pixels inside a width x height source."""
    return {
        "identity": [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0],
        # A 7 degree rotation with a slight zoom about the centre.
        "affine": [0.985, -0.121, 0.07 * width, 0.121, 0.985, -0.05 * height, 0.0, 0.0, 1.0],
        # A strong keystone: W runs from 1 at the top to about 2.5 at the bottom.
        "perspective": [1.0, 0.4, -0.1 * width, 0.0, 1.6, 0.0, 0.0, 1.5 / height, 1.0],
    }


def image(width: int, height: int, dtype) -> np.ndarray:
    rng = np.random.default_rng(3)
    return rng.integers(0, np.iinfo(dtype).max, size=(height, width, 3), dtype=dtype,
                        endpoint=True)



def main() -> None:
    args = parse_arguments(__doc__, default_repeat=7)
    print_setup(args.repeat)
    print(f"{'image':<18}{'dtype':<8}{'matrix':<13}{'median ms':>10}{'Mpx/s':>9}"
          f"{'copy ms':>9}{'x copy':>8}{'inside':>8}")
    for width, height in SIZES:
        for dtype in DTYPES:
            src = image(width, height, dtype)
            identity = matrices(width, height)["identity"]
            if not np.array_equal(tarnwick.warp_rgb(src, identity, 1.0, 0.0, 0.0), src):
                sys.exit(f"identity warp of {width}x{height} {dtype.__name__} changed the image")
            copy_time = median_time(src.copy, args.repeat)
            megapixels = width * height / 1e6
            for name, inverse in matrices(width, height).items():
                result = tarnwick.warp_rgb(src, inverse, 1.0, 0.0, 0.0)  # warm-up
                inside = np.count_nonzero(result.any(axis=2)) / (width * height)
                elapsed = median_time(lambda: tarnwick.warp_rgb(src, inverse, 1.0, 0.0, 0.0),
                                      args.repeat)
                print(f"{f'{width}x{height}':<18}{dtype.__name__:<8}{name:<13}"
                      f"{elapsed * 1e3:>10.1f}{megapixels / elapsed:>9.1f}"
                      f"{copy_time * 1e3:>9.2f}{elapsed / copy_time:>8.1f}{inside:>8.0%}")


if __name__ == "__main__":
    main()
