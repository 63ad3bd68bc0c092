// The tarnwick module: multi-phase initialisation that adds Segment, detect and warp_rgb.
#include <Python.h>

#include "python/entries.hpp"
#include "python/py_ref.hpp"
#include "python/segment_type.hpp"

namespace tarnwick::python {
namespace {

// Fast call with keywords, static: the function objects are bound to the module by hand below,
// which is why these definitions are not a module method table.
constexpr int ENTRY_FLAGS = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

template <auto Entry>
constexpr PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Entry));
}

PyMethodDef detect_definition = {
    "detect", as_cfunction<detect_entry>(), ENTRY_FLAGS,
    "detect(gray, scale=...)\n--\n\nFind the validated line segments of a grayscale image."};

PyMethodDef warp_rgb_definition = {
    "warp_rgb", as_cfunction<warp_rgb_entry>(), ENTRY_FLAGS,
    "warp_rgb(src, inverse, scale, off_x, off_y)\n--\n\n"
    "Perspective-warp an RGB image through an inverse homography."};

int add_function(PyObject* module, PyMethodDef* definition) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    PyRef name = PyRef::steal(module_name);
    PyRef function = PyRef::steal(PyCFunction_NewEx(definition, module, name.get()));
    if (!function) return -1;
    return PyModule_AddObjectRef(module, definition->ml_name, function.get());
}

int exec_module(PyObject* module) {
    // The Segment type, PanicException and NumPy's API table are kept per process, and Python
    // objects must never cross interpreters; NumPy cannot run in a sub-interpreter anyway. The
    // module slots cannot say this: they only refuse interpreters with a GIL of their own.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "tarnwick does not support sub-interpreters");
        return -1;
    }
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "expected a module, got '%.200s'", Py_TYPE(module)->tp_name);
        return -1;
    }
    PyTypeObject* segment = segment_type();
    if (!segment) return -1;
    if (PyModule_AddObjectRef(module, "Segment", reinterpret_cast<PyObject*>(segment)) < 0) return -1;
    if (add_function(module, &detect_definition) < 0) return -1;
    if (add_function(module, &warp_rgb_definition) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tarnwick",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarnwick::python

PyMODINIT_FUNC PyInit_tarnwick() { return PyModuleDef_Init(&tarnwick::python::module_definition); }
