// The Python extension module kettara: render plans as quennel.wfm.Plan.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define PY_ARRAY_UNIQUE_SYMBOL kettara_ARRAY_API
#include <numpy/arrayobject.h>

#include <new>

#include "kettara.h"

namespace {

// A plan shared by its Python object and the renders running on it without the interpreter
// lock. Every hold is taken and released with the lock held; the last release destroys the
// plan, so closing (or re-initialising) the object while another thread renders frees
// nothing under that thread: the plan goes when its last render returns.
struct SharedPlan {
    Plan *plan;
    Py_ssize_t holds;
};

SharedPlan *share(Plan *plan) {
    SharedPlan *s = new (std::nothrow) SharedPlan{plan, 1};
    if (!s) {
        kettara_destroy(plan);
        PyErr_NoMemory();
    }
    return s;
}

void release(SharedPlan *s) {
    if (s && --s->holds == 0) {
        kettara_destroy(s->plan);
        delete s;
    }
}

struct PlanObject {
    PyObject_HEAD
    SharedPlan *plan;
    int closed;
    int strict;  // scene and overrides pass quennel's schema checks before the library sees them
};

const Plan *plan_of(const PlanObject *self) { return self->plan ? self->plan->plan : nullptr; }

// Releases the object's hold on its plan and marks it closed.
void close_plan(PlanObject *self) {
    if (!self->closed && self->plan) {
        release(self->plan);
        self->plan = nullptr;
        self->closed = 1;
    }
}

bool check_open(const PlanObject *self) {
    if (!self->closed) return true;
    PyErr_SetString(PyExc_RuntimeError, "Plan is closed");
    return false;
}

// The fixed failure of a plan build, with the library's reason for refusing the scene
// attached as a note (shown under the message) when its checks name one.
void set_prepare_failed(const char *spec_json) {
    PyErr_SetString(PyExc_RuntimeError, "kettara_prepare failed");
    char why[1024];
    const size_t n = kettara_refusal(spec_json, why, sizeof why);
    if (n == 0) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject *done = value ? PyObject_CallMethod(value, "add_note", "s", why) : nullptr;
    if (!done) PyErr_Clear();  // the exception goes out without its note
    Py_XDECREF(done);
    PyErr_Restore(type, value, traceback);
}

// Calls quennel.schema.<check>(text, ...): the library reads scenes leniently, so a strict
// plan asks the package's schema checks first; false with their exception set.
template <typename... Extra>
bool schema_check(const char *check, const char *text, const char *format, Extra... extra) {
    PyObject *module = PyImport_ImportModule("quennel.schema");
    if (!module) return false;
    PyObject *result = PyObject_CallMethod(module, check, format, text, extra...);
    Py_DECREF(module);
    Py_XDECREF(result);
    return result != nullptr;
}

int Plan_init(PlanObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"spec_json", "strict", nullptr};
    const char *spec_json = nullptr;
    int strict = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|$p", const_cast<char **>(keywords), &spec_json, &strict))
        return -1;
    if (strict && !schema_check("require_scene", spec_json, "s")) return -1;
    self->strict = strict;
    close_plan(self);
    Plan *plan = kettara_prepare(spec_json);
    if (!plan) {
        set_prepare_failed(spec_json);
        return -1;
    }
    if (!(self->plan = share(plan))) return -1;
    self->closed = 0;
    return 0;
}

void Plan_dealloc(PlanObject *self) {
    close_plan(self);
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject *>(self));
}

// Checks a caller's out= array before anything is written to it: exactly length() complex64
// samples, one-dimensional, C-contiguous and writable.
bool usable_out(PyObject *out, uint64_t len) {
    if (!PyArray_Check(out)) {
        PyErr_SetString(PyExc_TypeError, "out must be a numpy.ndarray");
        return false;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(out);
    if (PyArray_TYPE(a) != NPY_COMPLEX64 || !PyArray_ISNOTSWAPPED(a)) {
        PyErr_SetString(PyExc_TypeError, "out must have dtype complex64 in native byte order");
        return false;
    }
    if (PyArray_NDIM(a) != 1) {
        PyErr_SetString(PyExc_ValueError, "out must be one-dimensional");
        return false;
    }
    if (!PyArray_IS_C_CONTIGUOUS(a)) {
        PyErr_SetString(PyExc_ValueError, "out must be C-contiguous");
        return false;
    }
    if (!PyArray_ISWRITEABLE(a)) {
        PyErr_SetString(PyExc_ValueError, "out must be writable");
        return false;
    }
    if (static_cast<uint64_t>(PyArray_DIM(a, 0)) != len) {
        PyErr_Format(PyExc_ValueError, "out must hold exactly length() = %llu samples, not %lld",
                     static_cast<unsigned long long>(len), static_cast<long long>(PyArray_DIM(a, 0)));
        return false;
    }
    return true;
}

// A new complex64 array whose storage holds len samples.
PyObject *new_samples(uint64_t len) {
    if (len > static_cast<uint64_t>(NPY_MAX_INTP) / sizeof(cf32)) return PyErr_NoMemory();
    npy_intp dims[1] = {static_cast<npy_intp>(len)};
    return PyArray_SimpleNew(1, dims, NPY_COMPLEX64);
}

// Renders into out (checked) or into a new complex64 array, with the interpreter lock
// released; the plan is held for the duration, so a concurrent close cannot free it.
template <typename Render>
PyObject *render_array(PlanObject *self, PyObject *out, Render render) {
    const Plan *plan = plan_of(self);
    const uint64_t len = kettara_len(plan);
    const bool given = out && out != Py_None;
    if (given && !usable_out(out, len)) return nullptr;
    PyObject *array = given ? Py_NewRef(out) : new_samples(len);
    if (!array || !plan) return array;
    cf32 *data = static_cast<cf32 *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array)));
    SharedPlan *held = self->plan;
    ++held->holds;
    uint64_t written;
    Py_BEGIN_ALLOW_THREADS
    written = render(held->plan, data);
    Py_END_ALLOW_THREADS
    release(held);
    if (given) {
        if (written == len) return array;
        // Fewer samples than length() (ranged gaps): the rendered ones, as a view of out.
        PyObject *view = PySequence_GetSlice(array, 0, static_cast<Py_ssize_t>(written));
        Py_DECREF(array);
        return view;
    }
    // The storage keeps len samples; the visible length is what was rendered.
    PyArray_DIMS(reinterpret_cast<PyArrayObject *>(array))[0] = static_cast<npy_intp>(written);
    return array;
}

PyObject *Plan_render(PlanObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"", "out", nullptr};
    const char *overrides = nullptr;
    PyObject *out = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|$O", const_cast<char **>(keywords), &overrides, &out) ||
        !check_open(self))
        return nullptr;
    if (self->strict && !schema_check("require_overrides", overrides, "sK",
                                      static_cast<unsigned long long>(kettara_n_sources(plan_of(self)))))
        return nullptr;
    return render_array(self, out, [overrides](const Plan *p, cf32 *data) {
        return kettara_render(p, overrides, data);
    });
}

PyObject *Plan_at(PlanObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"", "", "out", nullptr};
    double snr = 0.0;
    unsigned long long seed = 0;
    PyObject *out = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "dK|$O", const_cast<char **>(keywords), &snr, &seed, &out) ||
        !check_open(self))
        return nullptr;
    return render_array(self, out, [snr, seed](const Plan *p, cf32 *data) {
        return kettara_at(p, seed, data, snr);
    });
}

template <uint64_t (*query)(const Plan *)>
PyObject *plan_query(PlanObject *self, PyObject *) {
    if (!check_open(self)) return nullptr;
    return PyLong_FromUnsignedLongLong(query(plan_of(self)));
}

PyObject *Plan_save(PlanObject *self, PyObject *) {
    if (!check_open(self)) return nullptr;
    const uint64_t size = kettara_save_bytes(plan_of(self));
    if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject *blob = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (blob && size) kettara_save(plan_of(self), PyBytes_AS_STRING(blob));
    return blob;
}

PyObject *Plan_dump(PlanObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"path", nullptr};
    PyObject *path = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&", const_cast<char **>(keywords),
                                     PyUnicode_FSConverter, &path))
        return nullptr;
    if (!check_open(self)) {
        Py_DECREF(path);
        return nullptr;
    }
    const int32_t rc = kettara_dump(plan_of(self), PyBytes_AS_STRING(path));
    Py_DECREF(path);
    if (rc != 0)
        return PyErr_Format(PyExc_OSError, "%s (rc=%lld)", "kettara_dump failed",
                            static_cast<long long>(rc));
    Py_RETURN_NONE;
}

PyObject *Plan_close(PlanObject *self, PyObject *) {
    close_plan(self);
    Py_RETURN_NONE;
}

PyObject *Plan_enter(PlanObject *self, PyObject *) {
    Py_INCREF(self);
    return reinterpret_cast<PyObject *>(self);
}

PyObject *Plan_exit(PlanObject *self, PyObject *) { return Plan_close(self, nullptr); }

// The methods' C signatures differ by calling convention; Python calls each by its flags.
template <typename F>
PyCFunction as_method(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

#define OUT_PARAMETER                                                                          \
    "out : numpy.ndarray, optional\n"                                                         \
    "    Renders into this array instead of a new one: complex64, one-dimensional,\n"          \
    "    C-contiguous, writable and exactly length() samples long. Reusing one array\n"        \
    "    saves the page faults of a fresh array per call.\n"
#define OUT_RETURNS                                                                            \
    "    With out given: out itself, or a view of its first samples when fewer than\n"       \
    "    length() were rendered (the rest of out is then zero).\n"
#define OUT_RAISES                                                                             \
    "TypeError\n    out is not an ndarray of dtype complex64.\n"                             \
    "ValueError\n    out has the wrong shape or length, is not C-contiguous or is read-only;\n" \
    "    nothing is written.\n"

PyMethodDef plan_methods[] = {
    {"render", as_method(Plan_render), METH_VARARGS | METH_KEYWORDS,
     "render($self, overrides_json, /, *, out=None)\n--\n\n"
     "General render: apply a JSON override spec, return a cf32 array.\n\n"
     "Parameters\n----------\n"
     "overrides_json : str\n"
     "    A JSON object with any of the keys \"gains\" (dB per source), \"phases\" (radians\n"
     "    per source), \"enable\" (true or a nonzero number keeps a source), \"snr\" (dB, moves\n"
     "    the noise floor or a lone source's own noise) and \"seed\" (replaces every noise seed\n"
     "    and moves every timing seed by seed - anchor_seed()). Arrays must hold exactly n_sources() numbers, else they are ignored.\n"
     "    An empty object, an empty string or unparsable text renders the baseline, identical\n"
     "    to composing the scene.\n"
     OUT_PARAMETER "\n"
     "Returns\n-------\n"
     "numpy.ndarray\n"
     "    complex64 samples; at most length() of them (ranged gaps are drawn from the seed).\n"
     OUT_RETURNS "\n"
     "Raises\n------\n"
     "RuntimeError\n    The plan is closed.\n"
     "TypeError\n    overrides_json is not a str.\n"
     "ValueError\n    A strict plan (Plan(..., strict=True)) was given overrides it would\n"
     "    ignore: an unknown key, a value of the wrong type, an array of another length.\n"
     OUT_RAISES},
    {"at", as_method(Plan_at), METH_VARARGS | METH_KEYWORDS,
     "at($self, snr, seed, /, *, out=None)\n--\n\n"
     "Scalar fast-path for the hot Monte-Carlo/SNR loop (no JSON parse).\n\n"
     "The same as render() with only \"snr\" and \"seed\" given.\n\n"
     "Parameters\n----------\n"
     "snr : float\n"
     "    SNR in dB of the segment's reference source (or of its lone noisy source).\n"
     "seed : int\n"
     "    Noise seed, taken modulo 2**64, of which the low 32 bits are used; the timing\n"
     "    draws of ranged gaps move with it, by seed - anchor_seed(). at(anchor_seed(), the\n"
     "    scene's snr) reproduces the composition of a single-segment scene, ranged gaps\n"
     "    included.\n"
     OUT_PARAMETER "\n"
     "Returns\n-------\n"
     "numpy.ndarray\n    complex64 samples, at most length() of them.\n"
     OUT_RETURNS "\n"
     "Raises\n------\n"
     "RuntimeError\n    The plan is closed.\n"
     OUT_RAISES},
    {"length", as_method(plan_query<kettara_len>), METH_VARARGS,
     "length($self)\n--\n\n"
     "Worst-case materialized length in samples, every ranged gap at its hi bound.\n\n"
     "Returns\n-------\nint\n\n"
     "Raises\n------\nRuntimeError\n    The plan is closed.\n"},
    {"n_sources", as_method(plan_query<kettara_n_sources>), METH_VARARGS,
     "n_sources($self)\n--\n\n"
     "Number of cached signal sources across every segment, noise floors excluded.\n\n"
     "This is the length of the \"gains\", \"phases\" and \"enable\" arrays of render();\n"
     "a segment's background sources share one cache, which comes first.\n\n"
     "Returns\n-------\nint\n\n"
     "Raises\n------\nRuntimeError\n    The plan is closed.\n"},
    {"anchor_seed", as_method(plan_query<kettara_anchor_seed>), METH_VARARGS,
     "anchor_seed($self)\n--\n\n"
     "The noise seed that reproduces a full compose.\n\n"
     "The floor seed of the first segment with noise, 0 when the scene has none.\n\n"
     "Returns\n-------\nint\n\n"
     "Raises\n------\nRuntimeError\n    The plan is closed.\n"},
    {"save", as_method(Plan_save), METH_VARARGS,
     "save($self)\n--\n\n"
     "Serialize a Plan into blob (kettara_save_bytes(p) bytes).\n\n"
     "The blob is native-endian and embeds the scene JSON and every cache;\n"
     "PlanFromBlob() restores it without synthesis.\n\n"
     "Returns\n-------\nbytes\n\n"
     "Raises\n------\n"
     "RuntimeError\n    The plan is closed.\n"
     "MemoryError\n    The blob cannot be allocated.\n"},
    {"dump", as_method(Plan_dump), METH_VARARGS | METH_KEYWORDS,
     "dump($self, path)\n--\n\n"
     "Save a Plan to a file (kettara_save() bytes at path).\n\n"
     "Parameters\n----------\n"
     "path : str or os.PathLike\n    The file to write; PlanFromFile() reads it back.\n\n"
     "Raises\n------\n"
     "RuntimeError\n    The plan is closed.\n"
     "OSError\n    The file cannot be written; the message is\n"
     "    \"kettara_dump failed (rc=-1)\", with the return code appended.\n"},
    {"close", as_method(Plan_close), METH_NOARGS,
     "close($self)\n--\n\n"
     "Release the handle and free resources.\n\n"
     "May be called again. A render running on another thread keeps the plan\n"
     "until it returns.\n"},
    {"__enter__", as_method(Plan_enter), METH_NOARGS, nullptr},
    {"__exit__", as_method(Plan_exit), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject plan_type = [] {
    PyTypeObject t{};
    t.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    t.tp_name = "quennel.wfm.Plan";
    t.tp_doc = "Plan \xe2\x80\x94 handle over `kettara`.";
    t.tp_basicsize = sizeof(PlanObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_new = PyType_GenericNew;
    t.tp_init = reinterpret_cast<initproc>(Plan_init);
    t.tp_dealloc = reinterpret_cast<destructor>(Plan_dealloc);
    t.tp_methods = plan_methods;
    return t;
}();

// A new Plan object around a restored plan, without running the constructor.
PyObject *wrap(Plan *plan, const char *failure) {
    if (!plan) {
        PyErr_SetString(PyExc_ValueError, failure);
        return nullptr;
    }
    auto *self = reinterpret_cast<PlanObject *>(plan_type.tp_alloc(&plan_type, 0));
    if (!self) {
        kettara_destroy(plan);
        return nullptr;
    }
    if (!(self->plan = share(plan))) {
        Py_DECREF(self);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(self);
}

PyObject *PlanFromBlob(PyObject *, PyObject *args) {
    const char *blob = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "y#", &blob, &size)) return nullptr;
    return wrap(kettara_restore(blob, static_cast<uint64_t>(size)), "PlanFromBlob failed");
}

PyObject *PlanFromFile(PyObject *, PyObject *args) {
    PyObject *path = nullptr;
    if (!PyArg_ParseTuple(args, "O&", PyUnicode_FSConverter, &path)) return nullptr;
    Plan *plan = kettara_load(PyBytes_AS_STRING(path));
    Py_DECREF(path);
    return wrap(plan, "PlanFromFile failed");
}

PyMethodDef module_methods[] = {
    {"PlanFromBlob", PlanFromBlob, METH_VARARGS, "Construct a Plan via kettara_restore."},
    {"PlanFromFile", PlanFromFile, METH_VARARGS, "Construct a Plan via kettara_load."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kettara_module = {
    PyModuleDef_HEAD_INIT, "kettara", nullptr, -1, module_methods,
    nullptr,               nullptr,   nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_kettara(void) {
    import_array();
    if (PyType_Ready(&plan_type) < 0) return nullptr;
    PyObject *module = PyModule_Create(&kettara_module);
    if (!module) return nullptr;
    if (PyModule_AddObjectRef(module, "Plan", reinterpret_cast<PyObject *>(&plan_type)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
