// warp_rgb(src, inverse, scale, off_x, off_y): argument handling, dtype dispatch, and the result
// array that adopts the resampler's buffer.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>

#include "python/arguments.hpp"
#include "python/array_samples.hpp"
#include "python/attached.hpp"
#include "python/entries.hpp"
#include "python/errors.hpp"
#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"
#include "sample/buffer.hpp"
#include "sample/check.hpp"
#include "warp/warp_rgb.hpp"

namespace tarnwick::python {
namespace {

using Matrix = std::array<double, 9>;

constexpr const char* INVERSE = "inverse";
constexpr const char* OUTPUT_CAPSULE_NAME = "tarnwick.warp_rgb.output";

[[noreturn, gnu::cold]] void raise_not_a_sequence(PyObject* object) {
    if (object == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'Sequence'");
    } else {
        PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
        if (name)
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'Sequence'",
                         name.get());
    }
    raise_with_parameter_note(INVERSE);
}

// Nine numbers from any sequence, each through the float protocol. A 3x3 nesting is refused by
// its length: flattening it would guess at the caller's layout.
Matrix to_matrix(PyObject* object) {
    if (!PySequence_Check(object)) raise_not_a_sequence(object);
    Py_ssize_t length = PySequence_Size(object);
    if (length < 0) raise_with_parameter_note(INVERSE);
    if (length != 9) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length 9 (got %zd)", length);
        raise_with_parameter_note(INVERSE);
    }
    Matrix matrix;
    for (Py_ssize_t i = 0; i < 9; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(object, i));
        if (!item) raise_with_parameter_note(INVERSE);
        matrix[static_cast<std::size_t>(i)] = to_double(item.get(), INVERSE);
    }
    return matrix;
}

struct Placement {
    Matrix inverse;
    double scale;
    double off_x;
    double off_y;
};

void free_output(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, OUTPUT_CAPSULE_NAME));
}

// A (height, width, 3) C-ordered, writeable array over the buffer; a capsule that frees the
// buffer becomes its base, so the memory lives exactly as long as the array.
template <typename T>
PyObject* adopt_as_array(Buffer<T> output, std::size_t height, std::size_t width) {
    check(output.size() == height * width * 3, "the output buffer has the length of the image");
    PyRef owner = PyRef::steal(PyCapsule_New(output.data(), OUTPUT_CAPSULE_NAME, free_output));
    if (!owner) {
        PyErr_Clear();
        fail("Failed to create slice container for the warp_rgb result");
    }
    T* data = output.release();  // the capsule frees it from now on

    constexpr npy_intp item = sizeof(T);
    const bool empty = height == 0 || width == 0;
    npy_intp dims[3] = {static_cast<npy_intp>(height), static_cast<npy_intp>(width), 3};
    npy_intp strides[3] = {empty ? 0 : dims[1] * 3 * item, empty ? 0 : 3 * item, empty ? 0 : item};
    PyArray_Descr* descr = PyArray_DescrFromType(numpy_type_number<T>());  // stolen below
    PyRef array = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 3, dims, strides, data,
                                                    NPY_ARRAY_CARRAY, nullptr));
    if (!array) {
        PyErr_Clear();
        fail("Failed to create the warp_rgb result array");
    }
    // Steals the owner even when it fails; the array never owns the data, so nothing is freed
    // twice.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
        PyErr_Clear();
        fail("Failed to set the owner of the warp_rgb result array");
    }
    return array.release();
}

template <typename T>
PyObject* warp_typed(PyArrayObject* array, const Placement& placement) {
    std::size_t height = static_cast<std::size_t>(PyArray_DIM(array, 0));
    std::size_t width = static_cast<std::size_t>(PyArray_DIM(array, 1));
    ArraySamples<T> samples(array);
    Buffer<T> output;
    {
        Detached detached;
        auto result = warp::warp_rgb<T>(samples.span(), width, height, placement.inverse,
                                        placement.scale, placement.off_x, placement.off_y);
        samples.release();
        if (auto* mismatch = std::get_if<SizeMismatch>(&result))
            fail("the buffer length comes from the array's own shape: " + to_string(*mismatch));
        output = std::move(std::get<Buffer<T>>(result));
    }
    return adopt_as_array(std::move(output), height, width);
}

template <typename T>
bool is_rgb_array_of(PyObject* object) {
    return is_array_of<T>(object, 3) &&
           PyArray_DIM(reinterpret_cast<PyArrayObject*>(object), 2) == 3;
}

template <typename... Sample>
PyObject* dispatch(PyObject* src, const Placement& placement) {
    PyObject* result = nullptr;
    bool matched =
        ((is_rgb_array_of<Sample>(src) &&
          (result = warp_typed<Sample>(reinterpret_cast<PyArrayObject*>(src), placement), true)) ||
         ...);
    if (!matched)
        raise(PyExc_TypeError, "warp_rgb expects a (height, width, 3) array of uint8 or uint16");
    return result;
}

}  // namespace

PyObject* warp_rgb_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_entry_point([&]() -> PyObject* {
        static constexpr std::array<const char*, 5> names{"src", "inverse", "scale", "off_x",
                                                          "off_y"};
        auto [src, inverse, scale, off_x, off_y] =
            bind_arguments("warp_rgb", names, names.size(), args, nargsf, kwnames);
        // Initialised in this order on purpose: the first failing argument is the one reported.
        Placement placement{to_matrix(inverse), to_double(scale, "scale"),
                            to_double(off_x, "off_x"), to_double(off_y, "off_y")};
        ensure_numpy();
        // The call holds its own reference to the array for as long as it reads it.
        PyRef held = PyRef::borrow(src);
        return dispatch<std::uint8_t, std::uint16_t>(held.get(), placement);
    });
}

}  // namespace tarnwick::python
