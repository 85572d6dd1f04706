// The Python extension module tolvane.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define PY_ARRAY_UNIQUE_SYMBOL tolvane_ARRAY_API
#include <numpy/arrayobject.h>

namespace {

PyModuleDef tolvane_module = {
    PyModuleDef_HEAD_INIT, "tolvane", "Tolvane module.", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tolvane(void) {
    import_array();
    return PyModule_Create(&tolvane_module);
}
