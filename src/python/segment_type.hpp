// The Python class Segment: an immutable record of one detected line segment.
#pragma once

#include <Python.h>

#include "detector/types.hpp"

namespace tarnwick::python {

/// The Segment type, created on first use and kept for the life of the process (needs attachment).
PyTypeObject* segment_type();

/// A new Segment holding a copy of the record; nullptr with an exception set on failure.
PyObject* new_segment(PyTypeObject* type, const detector::Segment& record);

}  // namespace tarnwick::python
