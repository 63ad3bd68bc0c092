// Argument binding for fast calls with keywords, and float conversion.
#include "python/arguments.hpp"

#include <string>

#include "python/errors.hpp"

namespace tarnwick::python {
namespace {

std::string call_name(const char* function) { return std::string(function) + "()"; }

}  // namespace

void bind_arguments(const char* function, std::span<const char* const> names, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    std::span<PyObject*> slots) {
    std::size_t positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    if (positional > names.size())
        raise(PyExc_TypeError, call_name(function) + " takes at most " +
                                   std::to_string(names.size()) + " arguments (" +
                                   std::to_string(positional) + " given)");
    for (std::size_t i = 0; i < positional; ++i) slots[i] = args[i];

    Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t slot = 0;
        while (slot < names.size() && PyUnicode_CompareWithASCIIString(keyword, names[slot]) != 0)
            ++slot;
        if (slot == names.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         keyword);
            throw PythonError();
        }
        if (slots[slot])
            raise(PyExc_TypeError, "argument for " + call_name(function) + " given by name ('" +
                                       names[slot] + "') and position (" +
                                       std::to_string(slot + 1) + ")");
        slots[slot] = args[positional + static_cast<std::size_t>(k)];
    }

    for (std::size_t i = 0; i < required; ++i)
        if (!slots[i])
            raise(PyExc_TypeError, call_name(function) + " missing required argument '" +
                                       names[i] + "' (pos " + std::to_string(i + 1) + ")");
}

void raise_with_parameter_note(const char* parameter) {
    add_note_to_current_exception(std::string("while processing '") + parameter + "'");
    throw PythonError();
}

double to_double(PyObject* value, const char* parameter) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) raise_with_parameter_note(parameter);
    return result;
}

}  // namespace tarnwick::python
