// The module's functions, as the interpreter calls them (fast call with keywords).
#pragma once

#include <Python.h>

namespace tarnwick::python {

PyObject* detect_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* warp_rgb_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames);

}  // namespace tarnwick::python
