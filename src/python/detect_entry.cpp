// detect(gray, scale=0.8): argument handling, dtype dispatch and the Segment list.
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "detector/driver.hpp"
#include "python/arguments.hpp"
#include "python/array_samples.hpp"
#include "python/attached.hpp"
#include "python/entries.hpp"
#include "python/errors.hpp"
#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"
#include "python/segment_type.hpp"

namespace tarnwick::python {
namespace {

constexpr double DEFAULT_SCALE = 0.8;
constexpr std::uint64_t MAX_PIXELS = std::numeric_limits<std::uint32_t>::max();

// Pixel indices are 32-bit: refuse larger images before copying or allocating anything.
void check_pixel_count(std::size_t height, std::size_t width) {
    if (width != 0 && height > MAX_PIXELS / width)
        raise(PyExc_ValueError, "detect supports images of at most 4294967295 pixels, got " +
                                    std::to_string(height) + " x " + std::to_string(width));
}

PyObject* segment_list(const std::vector<detector::Segment>& records) {
    PyTypeObject* type = segment_type();
    if (!type) throw PythonError();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) throw PythonError();
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyObject* segment = new_segment(type, records[i]);
        if (!segment) throw PythonError();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), segment);
    }
    return list.release();
}

template <typename T>
PyObject* detect_typed(PyArrayObject* array, double scale) {
    std::size_t height = static_cast<std::size_t>(PyArray_DIM(array, 0));
    std::size_t width = static_cast<std::size_t>(PyArray_DIM(array, 1));
    check_pixel_count(height, width);
    // Decided from the shape alone: an image that can give nothing is never copied or converted.
    if (detector::too_small_for_segments(width, height, scale)) return segment_list({});
    ArraySamples<T> samples(array);
    std::vector<detector::Segment> segments;
    {
        Detached detached;
        auto result = detector::detect<T>(samples.span(), width, height, scale);
        if (auto* mismatch = std::get_if<SizeMismatch>(&result))
            fail("the buffer length comes from the array's own shape: " + to_string(*mismatch));
        segments = std::move(std::get<std::vector<detector::Segment>>(result));
        samples.release();
    }
    return segment_list(segments);
}

template <typename... Sample>
PyObject* dispatch(PyObject* gray, double scale) {
    PyObject* result = nullptr;
    bool matched = ((is_array_of<Sample>(gray, 2) &&
                     (result = detect_typed<Sample>(reinterpret_cast<PyArrayObject*>(gray), scale),
                      true)) ||
                    ...);
    if (!matched)
        raise(PyExc_TypeError,
              "detect expects a (height, width) array of uint8, uint16, float32 or float64");
    return result;
}

}  // namespace

PyObject* detect_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_entry_point([&]() -> PyObject* {
        static constexpr std::array<const char*, 2> names{"gray", "scale"};
        auto [gray, scale_argument] = bind_arguments("detect", names, 1, args, nargsf, kwnames);
        double scale = scale_argument ? to_double(scale_argument, "scale") : DEFAULT_SCALE;
        ensure_numpy();
        // The call holds its own reference to the array for as long as it reads it.
        PyRef held = PyRef::borrow(gray);
        return dispatch<double, float, std::uint8_t, std::uint16_t>(held.get(), scale);
    });
}

}  // namespace tarnwick::python
