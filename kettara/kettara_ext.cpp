// The Python extension module kettara.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define PY_ARRAY_UNIQUE_SYMBOL kettara_ARRAY_API
#include <numpy/arrayobject.h>

namespace {

PyModuleDef kettara_module = {
    PyModuleDef_HEAD_INIT, "kettara", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_kettara(void) {
    import_array();
    return PyModule_Create(&kettara_module);
}
