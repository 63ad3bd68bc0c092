"""The Segment result class: immutability, metadata, derived properties and the repr."""

import math
import weakref
from decimal import ROUND_HALF_EVEN, Decimal, localcontext

import pytest

import tarnwick
from conftest import FIELDS, line_image, rectangle_image, scene

Segment = tarnwick.Segment
NAMES = FIELDS + ("angle", "length")


@pytest.fixture(scope="module")
def segments():
    """Detected segments of varied directions, lengths and fractional coordinates."""
    found = []
    for scale in (1.0, 0.8, 0.5):
        found += tarnwick.detect(rectangle_image(), scale)
        for seed in range(3):
            found += tarnwick.detect(scene(seed=seed), scale)
    for degrees in range(0, 180, 15):
        a = math.radians(degrees)
        p0 = (64 - 40 * math.cos(a), 64 - 40 * math.sin(a))
        p1 = (64 + 40 * math.cos(a), 64 + 40 * math.sin(a))
        found += tarnwick.detect(line_image(128, 128, p0, p1), 0.8)
    assert len(found) > 100
    return found


def one_decimal(value):
    """Fixed point with one decimal, correctly rounded from the exact double, ties to even."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "-inf" if value < 0 else "inf"
    with localcontext() as context:
        context.rounding = ROUND_HALF_EVEN
        return format(Decimal(value), ".1f")


class TestType:
    @pytest.mark.parametrize(
        "make",
        [lambda: Segment(), lambda: Segment(0.0, 0.0, 1.0, 1.0, 1.0, 0.125, 1.0),
         lambda: Segment.__new__(Segment), lambda: object.__new__(Segment),
         lambda: type("Derived", (Segment,), {})],
        ids=["no-args", "seven-values", "dunder-new", "object-new", "subclass"],
    )
    def test_not_instantiable_or_subclassable(self, make):
        with pytest.raises(TypeError):
            make()

    def test_metadata(self):
        names = (Segment.__name__, Segment.__qualname__, Segment.__module__, Segment.__bases__)
        assert names == ("Segment", "Segment", "tarnwick", (object,))
        assert Segment.__doc__ == "One detected line segment, in input-image coordinates."
        assert Segment.__text_signature__ is None
        assert [n for n in Segment.__dict__ if not n.startswith("__")] == list(NAMES)
        # No comparison, hashing, pickling or constructor of its own: only the repr.
        own = {n for n in Segment.__dict__ if n.startswith("__")}
        assert own == {"__repr__", "__doc__", "__module__"}
        assert all(Segment.__dict__[name].__doc__ is None for name in FIELDS)
        angle_doc = "Direction in degrees, -90 to 90, 0 = horizontal."
        assert Segment.__dict__["angle"].__doc__ == angle_doc
        assert Segment.__dict__["length"].__doc__ == "Length in pixels."
        # Seven doubles after the object header, and no dictionary or weak-reference slot.
        assert Segment.__basicsize__ == object.__basicsize__ + 7 * 8
        assert Segment.__dictoffset__ == 0 and Segment.__weakrefoffset__ == 0


class TestInstances:
    @pytest.mark.parametrize("name", NAMES + ("colour",))
    def test_attributes_are_read_only_and_none_can_be_added(self, segments, name):
        segment = segments[0]
        before = getattr(segment, name, None)
        with pytest.raises(AttributeError):
            setattr(segment, name, 1.0)
        with pytest.raises(AttributeError):
            delattr(segment, name)
        assert getattr(segment, name, None) == before
        with pytest.raises(TypeError):
            weakref.ref(segment)

    def test_comparison_is_by_identity(self):
        first, second = (tarnwick.detect(rectangle_image())[0] for _ in range(2))
        assert [getattr(first, n) for n in FIELDS] == [getattr(second, n) for n in FIELDS]
        assert first != second and not first == second and first == first
        assert hash(first) == object.__hash__(first)
        with pytest.raises(TypeError):
            first < second

    def test_angle_and_length_follow_their_formulas(self, segments):
        for s in segments:
            assert all(type(getattr(s, name)) is float for name in NAMES)
            degrees = math.atan2(s.y2 - s.y1, s.x2 - s.x1) * 57.29577951308232
            if degrees > 90.0:
                degrees -= 180.0
            if degrees <= -90.0:
                degrees += 180.0
            assert s.angle == degrees, repr(s)
            assert -90.0 < s.angle <= 90.0
            reference = math.hypot(s.x2 - s.x1, s.y2 - s.y1)
            assert abs(s.length - reference) <= math.ulp(reference), repr(s)
        # Both wrap-arounds occur: vertical sides running upwards, horizontal ones leftwards.
        assert any(s.x1 == s.x2 and s.y2 < s.y1 and s.angle == 90.0 for s in segments)
        assert any(s.x2 < s.x1 and abs(s.angle) < 1e-9 for s in segments)


class TestRepr:
    @pytest.mark.parametrize(
        "value, text",
        # 0.35 is stored slightly below 0.35; 0.25 and 0.75 are exact ties that go to even.
        [(0.05, "0.1"), (0.25, "0.2"), (0.75, "0.8"), (0.35, "0.3"), (47.96, "48.0"),
         (1e20, "100000000000000000000.0"), (-0.0, "-0.0"), (-0.04, "-0.0"),
         (math.nan, "NaN"), (-math.inf, "-inf")],
    )
    def test_reference_formatter(self, value, text):
        assert one_decimal(value) == text

    def test_every_detected_segment(self, segments):
        for s in segments:
            x1, y1, x2, y2, width = (one_decimal(v) for v in (s.x1, s.y1, s.x2, s.y2, s.width))
            assert repr(s) == f"Segment(({x1}, {y1})-({x2}, {y2}), width={width})"
            assert str(s) == repr(s)
