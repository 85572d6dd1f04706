// The Python extension module tolvane.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define PY_ARRAY_UNIQUE_SYMBOL tolvane_ARRAY_API
#include <numpy/arrayobject.h>

#include "qn_interrupt.h"

namespace {

PyModuleDef tolvane_module = {
    PyModuleDef_HEAD_INIT, "tolvane", "Tolvane module.", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Every native module of the process polls the one interrupt state that the Python
// package holds, so a signal caught through any of them stops the waits of all.
int adopt_interrupt_state() {
    PyObject *holder = PyImport_ImportModule("quennel.interrupt.interrupt");
    if (!holder) return -1;
    PyObject *capsule = PyObject_GetAttrString(holder, "_tq_pg_qn_interrupt_guard");
    Py_DECREF(holder);
    if (!capsule) return -1;
    void *state = PyCapsule_GetPointer(capsule, "quennel.qn_interrupt_guard._tq_procglobal");
    Py_DECREF(capsule);
    if (!state) return -1;
    qn_interrupt_guard_state_adopt(static_cast<InterruptState *>(state));
    return 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_tolvane(void) {
    import_array();
    PyObject *module = PyModule_Create(&tolvane_module);
    if (!module) return nullptr;
    if (adopt_interrupt_state() != 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
