"""Shared helpers for the Python tests: synthetic images, exact result keys, child interpreters."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # the property tests skip themselves
    settings = None

# The extension under test was built with AddressSanitizer, whose runtime is preloaded.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")

if settings:
    # A fixed budget keeps the test command short; --hypothesis-profile=thorough searches longer.
    # No example database: runs leave nothing behind in the source tree.
    settings.register_profile("default", max_examples=300, deadline=None, database=None,
                              suppress_health_check=[HealthCheck.too_slow])
    settings.register_profile("thorough", settings.get_profile("default"), max_examples=5000)
    settings.load_profile("default")

FIELDS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")


def exact(segments):
    """A printable rendering of a detection result that is equal only for bit-identical values."""
    return [",".join(getattr(s, name).hex() for name in FIELDS) for s in segments]


def line_image(height, width, p0, p1, half_width=1.5, value=200.0, background=20.0):
    """A float64 bar from p0 to p1, anti-aliased so its long edges lie half_width from its axis."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    (x0, y0), (x1, y1) = p0, p1
    length = math.hypot(x1 - x0, y1 - y0)
    ux, uy = (x1 - x0) / length, (y1 - y0) / length
    along = np.clip((x - x0) * ux + (y - y0) * uy, 0.0, length)
    distance = np.hypot(x - (x0 + along * ux), y - (y0 + along * uy))
    cover = np.clip(half_width + 0.5 - distance, 0.0, 1.0)
    return background + (value - background) * cover


def rectangle_image():
    """A bright block in rows 30..69 and columns 20..89 of a black 100 x 120 uint8 image."""
    image = np.zeros((100, 120), np.uint8)
    image[30:70, 20:90] = 200
    return image


def scene(height=120, width=160, seed=0):
    """A uint8 image with a block, three bars and mild noise (exact in every accepted type)."""
    rng = np.random.default_rng(seed)
    image = np.full((height, width), 40.0)
    image[height // 5 : height // 2, width // 8 : width // 3] = 170.0
    for degrees, value in ((12.0, 220.0), (57.0, 150.0), (-33.0, 110.0)):
        angle = math.radians(degrees + 7.0 * seed)
        cx, cy = width * rng.uniform(0.4, 0.6), height * rng.uniform(0.4, 0.6)
        reach = 0.35 * min(height, width)
        p0 = (cx - reach * math.cos(angle), cy - reach * math.sin(angle))
        p1 = (cx + reach * math.cos(angle), cy + reach * math.sin(angle))
        bar = line_image(height, width, p0, p1, half_width=2.0, value=1.0, background=0.0)
        image = image * (1.0 - bar) + value * bar
    image += rng.normal(0.0, 3.0, image.shape)
    return np.clip(np.round(image), 0, 255).astype(np.uint8)


def run_python(code, timeout=60, **env):
    """Runs code in a fresh interpreter with extra environment variables; a hang fails the test."""
    child_env = {**os.environ, **{key: str(value) for key, value in env.items()}}
    command = [sys.executable, "-c", code]
    try:
        return subprocess.run(command, env=child_env, capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"child interpreter did not finish within {timeout} s: {expired}")


def run_python_ok(code, timeout=60, **env):
    """Like run_python, but the child must exit with status 0; returns its standard output."""
    done = run_python(code, timeout=timeout, **env)
    assert done.returncode == 0, f"child failed ({done.returncode}):\n{done.stdout}\n{done.stderr}"
    return done.stdout
