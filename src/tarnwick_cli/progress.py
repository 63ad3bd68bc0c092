"""What a detect run says on standard error: a progress bar, one line per failure, a summary."""

import sys
import time

# A bar for a handful of images would only flicker.
MIN_IMAGES_FOR_BAR = 4


class Progress:
    def __init__(self, total: int, quiet: bool):
        self._quiet = quiet
        self._started = time.perf_counter()
        self.images = self.segments = self.failed = 0
        self._bar = None
        if not quiet and total >= MIN_IMAGES_FOR_BAR and sys.stderr.isatty():
            try:
                from tqdm import tqdm
            except ModuleNotFoundError:  # tqdm comes with the cli extra; without it, no bar
                return
            self._bar = tqdm(total=total, unit="image", file=sys.stderr, dynamic_ncols=True)

    def error(self, line: str) -> None:
        """Prints line above the bar, so that the bar stays whole."""
        if self._bar is not None:
            self._bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr, flush=True)

    def done(self, segments: int, failed: bool) -> None:
        self.images += 1
        self.segments += segments
        self.failed += failed
        if self._bar is not None:
            self._bar.update(1)

    def close(self, interrupted: bool) -> None:
        """Removes the bar and, unless quiet, prints the summary line."""
        if self._bar is not None:
            self._bar.close()
        if self._quiet:
            return
        seconds = time.perf_counter() - self._started
        rate = self.images / seconds if seconds > 0 else 0.0
        print(f"tarnwick: {self.images} images, {self.segments} segments, {self.failed} failed, "
              f"{seconds:.2f} s, {rate:.1f} images/s{', interrupted' if interrupted else ''}",
              file=sys.stderr, flush=True)
