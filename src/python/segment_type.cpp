// Segment: seven read-only doubles, two derived properties and a fixed-point repr.
#include "python/segment_type.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_DOUBLE T_DOUBLE
#define Py_READONLY READONLY
#endif

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <string>

#include "python/made_once.hpp"

namespace tarnwick::python {
namespace {

struct SegmentObject {
    PyObject_HEAD
    detector::Segment record;
};

const detector::Segment& record_of(PyObject* self) {
    return reinterpret_cast<SegmentObject*>(self)->record;
}

constexpr double DEGREES_PER_RADIAN = 57.29577951308232;

PyObject* segment_angle(PyObject* self, void*) {
    const auto& s = record_of(self);
    double degrees = std::atan2(s.y2 - s.y1, s.x2 - s.x1) * DEGREES_PER_RADIAN;
    if (degrees > 90.0) degrees -= 180.0;
    if (degrees <= -90.0) degrees += 180.0;
    return PyFloat_FromDouble(degrees);
}

PyObject* segment_length(PyObject* self, void*) {
    const auto& s = record_of(self);
    return PyFloat_FromDouble(std::hypot(s.x2 - s.x1, s.y2 - s.y1));
}

// Fixed point, one decimal, correctly rounded (ties to even on the stored value), never an exponent.
void append_one_decimal(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    char digits[400];  // the largest double has 309 integer digits
    auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 1);
    out.append(digits, result.ptr);
}

PyObject* segment_repr(PyObject* self) {
    const auto& s = record_of(self);
    std::string text = "Segment((";
    append_one_decimal(text, s.x1);
    text += ", ";
    append_one_decimal(text, s.y1);
    text += ")-(";
    append_one_decimal(text, s.x2);
    text += ", ";
    append_one_decimal(text, s.y2);
    text += "), width=";
    append_one_decimal(text, s.width);
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

constexpr Py_ssize_t field_offset(std::size_t offset_in_record) {
    return static_cast<Py_ssize_t>(offsetof(SegmentObject, record) + offset_in_record);
}

PyMemberDef segment_members[] = {
    {"x1", Py_T_DOUBLE, field_offset(offsetof(detector::Segment, x1)), Py_READONLY, nullptr},
    {"y1", Py_T_DOUBLE, field_offset(offsetof(detector::Segment, y1)), Py_READONLY, nullptr},
    {"x2", Py_T_DOUBLE, field_offset(offsetof(detector::Segment, x2)), Py_READONLY, nullptr},
    {"y2", Py_T_DOUBLE, field_offset(offsetof(detector::Segment, y2)), Py_READONLY, nullptr},
    {"width", Py_T_DOUBLE, field_offset(offsetof(detector::Segment, width)), Py_READONLY, nullptr},
    {"precision", Py_T_DOUBLE, field_offset(offsetof(detector::Segment, precision)), Py_READONLY,
     nullptr},
    {"log_nfa", Py_T_DOUBLE, field_offset(offsetof(detector::Segment, log_nfa)), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef segment_properties[] = {
    {"angle", segment_angle, nullptr, "Direction in degrees, -90 to 90, 0 = horizontal.", nullptr},
    {"length", segment_length, nullptr, "Length in pixels.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot segment_slots[] = {
    {Py_tp_doc, const_cast<char*>("One detected line segment, in input-image coordinates.")},
    {Py_tp_repr, reinterpret_cast<void*>(segment_repr)},
    {Py_tp_members, segment_members},
    {Py_tp_getset, segment_properties},
    {0, nullptr},
};

PyType_Spec segment_spec = {
    "tarnwick.Segment",
    sizeof(SegmentObject),
    0,
    // No BASETYPE: not subclassable. No constructor: instances only come from detect.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    segment_slots,
};

std::atomic<PyObject*> the_segment_type{nullptr};

}  // namespace

PyTypeObject* segment_type() {
    return reinterpret_cast<PyTypeObject*>(
        made_once(the_segment_type, [] { return PyType_FromSpec(&segment_spec); }));
}

PyObject* new_segment(PyTypeObject* type, const detector::Segment& record) {
    PyObject* object = type->tp_alloc(type, 0);
    if (object) reinterpret_cast<SegmentObject*>(object)->record = record;
    return object;
}

}  // namespace tarnwick::python
