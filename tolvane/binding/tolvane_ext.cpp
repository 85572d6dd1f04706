// The Python extension module tolvane: the capture reader as tolvane.Reader.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define PY_ARRAY_UNIQUE_SYMBOL tolvane_ARRAY_API
#include <numpy/arrayobject.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "capture_format.hpp"
#include "qn_interrupt.h"
#include "tolvane_core.h"

namespace {

constexpr const char *kOpenFailed =
    "cannot open capture: no such file, unrecognised file type, or an unsupported BLUE format "
    "mode (only S and C are supported)";
constexpr const char *kPipeRefused =
    " (a pipe cannot deliver this capture: it needs seeking for a detached BLUE payload or an extended header)";
constexpr const char *kOutTypeError = "out must be a writable, C-contiguous ndarray of the output dtype";

struct EnumTable {
    const char *property;
    const char *enum_name;
    const char *const *names;
    long count;
};

constexpr EnumTable kFileTypeEnum{"file_type", "ftype", _enum_Reader_ftype, 4};
constexpr EnumTable kSampleTypeEnum{"sample_type", "stype", _enum_Reader_stype, 14};
constexpr EnumTable kModeEnum{"mode", "sample_mode", _enum_Reader_sample_mode, 2};
constexpr EnumTable kEndianEnum{"endian", "endian", _enum_Reader_endian, 2};
constexpr EnumTable kFsSourceEnum{"fs_source", "fs_source", _enum_Reader_fs_source, 3};
constexpr EnumTable kFcSourceEnum{"fc_source", "fc_source", _enum_Reader_fc_source, 6};
constexpr EnumTable kT0SourceEnum{"t0_source", "t0_source", _enum_Reader_t0_source, 2};
constexpr EnumTable kEndingEnum{"ending", "follow_end", _enum_Reader_follow_end, 5};

// `reader` is null before construction and after close. Reads run without the
// interpreter lock (a pipe may block them): closing the object meanwhile only detaches
// the reader, which the read destroys when it returns.
struct ReaderObject {
    PyObject_HEAD
    Reader *reader;
    Reader *detached;  // closed while a read was using it
    int reading;       // 1 while a read runs without the interpreter lock
    PyObject *path;    // the capture's path as str, for the errors that name it
};

void close_reader(ReaderObject *self) {
    if (!self->reader) return;
    if (self->reading)
        self->detached = self->reader;
    else
        tolvane_destroy(self->reader);
    self->reader = nullptr;
}

Reader *live_reader(ReaderObject *self) {
    if (!self->reader) PyErr_SetString(PyExc_RuntimeError, "destroyed");
    return self->reader;
}

// Reading methods share the file position with a running follow-read, so they wait their turn.
Reader *idle_reader(ReaderObject *self) {
    Reader *reader = live_reader(self);
    if (reader && self->reading) {
        PyErr_SetString(PyExc_RuntimeError, "a read is running on this Reader in another thread");
        return nullptr;
    }
    return reader;
}

int parse_name(const char *value, const char *const *names, int count) {
    for (int i = 0; i < count; ++i)
        if (std::strcmp(value, names[i]) == 0) return i;
    return -1;
}

// Why the file system would refuse the reader the file at path, as an errno, or 0.
int file_refusal(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    return access(path, R_OK) != 0 ? errno : 0;
}

// Raises the OSError subclass of errno `code` naming `filename`, with `text` after the
// system's words for the code; null.
PyObject *raise_os_error(int code, PyObject *filename, const char *text = "") {
    PyObject *error = PyObject_CallFunction(PyExc_OSError, "isO", code, (std::strerror(code) + std::string(text)).c_str(),
                                            filename);
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error)), error);
        Py_DECREF(error);
    }
    return nullptr;
}

PyObject *fs_name(const std::string &path) {
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

// Raises the error of a file the reader could not open, naming the file the file system
// refused: the capture itself, or the metadata file of a SigMF data file. False when
// the file system has no objection.
bool refused_by_file_system(const std::string &path, PyObject *name) {
    if (const int code = file_refusal(path.c_str())) return raise_os_error(code, name), true;
    if (!tolvane::is_sigmf_data_path(path)) return false;
    const std::string meta = tolvane::base_of(path) + std::string(tolvane::kSigmfMetaSuffix);
    const int code = file_refusal(meta.c_str());
    if (code == 0) return false;
    PyObject *meta_name = fs_name(meta);
    if (!meta_name) return true;
    raise_os_error(code, meta_name, " (the metadata of this SigMF data file)");
    Py_DECREF(meta_name);
    return true;
}

// tolvane_open_with without the interpreter lock: opening a FIFO waits for its writer, and
// detection for its first bytes. A signal that breaks the wait runs its Python handler: an
// exception it raises (KeyboardInterrupt) is the result, otherwise the open is tried again.
Reader *open_interruptibly(const char *path, const TolvaneOpenOptions &options, int32_t *error, char *why,
                           size_t why_size) {
    for (;;) {
        Reader *reader = nullptr;
        Py_BEGIN_ALLOW_THREADS
        reader = tolvane_open_with(path, &options, error, why, why_size);
        Py_END_ALLOW_THREADS
        if (reader || *error != EINTR) return reader;
        if (PyErr_CheckSignals() != 0) return nullptr;
    }
}

// The channel argument: None for none, else a whole number from 0.
bool parse_channel(PyObject *value, int64_t &channel) {
    if (value == Py_None) return true;
    const long long k = PyLong_AsLongLong(value);
    if (k == -1 && PyErr_Occurred()) return false;
    if (k < 0) {
        PyErr_SetString(PyExc_ValueError, "channel must not be negative");
        return false;
    }
    channel = k;
    return true;
}

int Reader_init(ReaderObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"path", "sample_type", "endian", "channel", nullptr};
    PyObject *path = nullptr;
    const char *sample_type = "cf32";
    const char *endian = "le";
    PyObject *channel_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|ssO", const_cast<char **>(kwlist),
                                     PyUnicode_FSConverter, &path, &sample_type, &endian, &channel_arg))
        return -1;
    const int stype = parse_name(sample_type, _enum_Reader_stype, 14);
    const int big = parse_name(endian, _enum_Reader_endian, 2);
    if (stype < 0 || big < 0) {
        if (stype < 0)
            PyErr_Format(PyExc_ValueError,
                         "sample_type must be one of \"cf32\", \"cf64\", \"ci32\", \"ci16\", \"ci8\", \"cu8\", \"cu16\", "
                         "\"rf32\", \"rf64\", \"ri32\", \"ri16\", \"ri8\", \"ru8\", \"ru16\", got '%s'",
                         sample_type);
        else
            PyErr_Format(PyExc_ValueError, "endian must be one of \"le\", \"be\", got '%s'", endian);
        Py_DECREF(path);
        return -1;
    }
    const std::string file(PyBytes_AS_STRING(path), static_cast<size_t>(PyBytes_GET_SIZE(path)));
    Py_DECREF(path);
    TolvaneOpenOptions options{stype, big, -1};
    if (!parse_channel(channel_arg, options.channel)) return -1;
    PyObject *name = fs_name(file);
    if (!name) return -1;
    if (refused_by_file_system(file, name)) {
        Py_DECREF(name);
        return -1;
    }
    int32_t error = 0;
    char why[512];
    Reader *reader = open_interruptibly(file.c_str(), options, &error, why, sizeof why);
    if (!reader) {
        if (PyErr_Occurred()) {
            // the signal handler's exception stands
        } else if (error == ESPIPE) {
            raise_os_error(error, name, kPipeRefused);
        } else if (error != 0) {
            raise_os_error(error, name);
        } else {
            PyErr_SetString(PyExc_ValueError, why[0] != '\0' ? why : kOpenFailed);
        }
        Py_DECREF(name);
        return -1;
    }
    tolvane_set_stop_fn(reader, qn_interrupted);
    close_reader(self);
    self->reader = reader;
    Py_XSETREF(self->path, name);
    return 0;
}

void Reader_dealloc(ReaderObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    close_reader(self);
    Py_CLEAR(self->path);
    type->tp_free(reinterpret_cast<PyObject *>(self));
    Py_DECREF(type);
}

// The caller's `out` as a contiguous writeable complex64 array (a new reference), or null.
PyArrayObject *output_array(PyObject *out) {
    if (!PyArray_Check(out)) {
        PyErr_SetString(PyExc_TypeError, kOutTypeError);
        return nullptr;
    }
    auto *array = reinterpret_cast<PyArrayObject *>(out);
    if (PyArray_TYPE(array) != NPY_COMPLEX64 || !PyArray_ISNOTSWAPPED(array) ||
        !PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISWRITEABLE(array)) {
        PyErr_SetString(PyExc_TypeError, kOutTypeError);
        return nullptr;
    }
    return reinterpret_cast<PyArrayObject *>(
        PyArray_FromAny(out, PyArray_DescrFromType(NPY_COMPLEX64), 0, 0,
                        NPY_ARRAY_CARRAY | NPY_ARRAY_WRITEABLE, nullptr));
}

// The read error a reader keeps: its errno (0 for none) and the sample it stopped at.
struct ReadError {
    int code = 0;
    unsigned long long sample = 0;
};

// Raises the OSError of a read error, naming the capture and the sample; null.
PyObject *raise_read_error(ReaderObject *self, const ReadError &failure) {
    const std::string text = " (reading sample " + std::to_string(failure.sample) + ")";
    PyObject *name = self->path ? self->path : Py_None;
    raise_os_error(failure.code, name, text.c_str());
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *sample = PyLong_FromUnsignedLongLong(failure.sample);
    if (value && sample) PyObject_SetAttrString(value, "sample", sample);
    Py_XDECREF(sample);
    PyErr_Restore(type, value, traceback);
    return nullptr;
}

// Runs one read into `data` (capacity `cap`) without the interpreter lock (a pipe whose
// writer is a thread of this process must be able to run meanwhile), and takes the read
// error the reader then keeps.
size_t run_read(ReaderObject *self, Reader *reader, bool follow, size_t count, cf32 *data, size_t cap,
                ReadError &failure) {
    self->reading = 1;
    size_t got;
    Py_BEGIN_ALLOW_THREADS
    got = follow ? tolvane_read_follow(reader, count, data, cap) : tolvane_read(reader, count, data, cap);
    Py_END_ALLOW_THREADS
    self->reading = 0;
    failure = {tolvane_get_error(reader), tolvane_get_error_sample(reader)};
    if (self->detached) {
        tolvane_destroy(self->detached);
        self->detached = nullptr;
    }
    return got;
}

PyObject *read_samples(ReaderObject *self, PyObject *args, PyObject *kwargs, bool follow) {
    static const char *kwlist[] = {"count", "out", nullptr};
    Py_ssize_t count = 1;
    PyObject *out = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|nO", const_cast<char **>(kwlist), &count, &out))
        return nullptr;
    Reader *reader = idle_reader(self);
    if (!reader) return nullptr;
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "count must not be negative");
        return nullptr;
    }
    const size_t wanted = follow ? tolvane_read_follow_max_out(reader, static_cast<size_t>(count))
                                 : tolvane_read_max_out(reader, static_cast<size_t>(count));

    if (out == Py_None) {
        npy_intp size = static_cast<npy_intp>(wanted);
        PyObject *result = PyArray_SimpleNew(1, &size, NPY_COMPLEX64);
        if (!result) return nullptr;
        auto *array = reinterpret_cast<PyArrayObject *>(result);
        ReadError failure;
        const size_t got = run_read(self, reader, follow, wanted,
                                    static_cast<cf32 *>(PyArray_DATA(array)), wanted, failure);
        if (failure.code != 0) {
            Py_DECREF(result);
            return raise_read_error(self, failure);
        }
        if (got < wanted) {
            npy_intp shrunk = static_cast<npy_intp>(got);
            PyArray_Dims dims{&shrunk, 1};
            PyObject *none = PyArray_Resize(array, &dims, 0, NPY_CORDER);
            if (!none) {
                Py_DECREF(result);
                return nullptr;
            }
            Py_DECREF(none);
        }
        return result;
    }

    PyArrayObject *array = output_array(out);
    if (!array) return nullptr;
    const size_t elements = static_cast<size_t>(PyArray_SIZE(array));
    if (elements < wanted) {
        PyErr_Format(PyExc_ValueError, "out has %zu elements, need >= %zu", elements, wanted);
        Py_DECREF(array);
        return nullptr;
    }
    cf32 *data = static_cast<cf32 *>(PyArray_DATA(array));
    ReadError failure;
    npy_intp got = static_cast<npy_intp>(run_read(self, reader, follow, wanted, data, elements, failure));
    if (failure.code != 0) {
        Py_DECREF(array);
        return raise_read_error(self, failure);
    }
    PyObject *view = PyArray_New(&PyArray_Type, 1, &got, NPY_COMPLEX64, nullptr, data, 0,
                                 NPY_ARRAY_CARRAY, nullptr);
    if (!view) {
        Py_DECREF(array);
        return nullptr;
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(view), reinterpret_cast<PyObject *>(array)) < 0) {
        Py_DECREF(view);
        return nullptr;
    }
    return view;
}

PyObject *ReaderObj_read(ReaderObject *self, PyObject *args, PyObject *kwargs) {
    return read_samples(self, args, kwargs, false);
}

PyObject *ReaderObj_read_follow(ReaderObject *self, PyObject *args, PyObject *kwargs) {
    return read_samples(self, args, kwargs, true);
}

PyObject *max_out(ReaderObject *self, PyObject *arg, size_t (*bound)(const Reader *, size_t)) {
    Reader *reader = live_reader(self);
    if (!reader) return nullptr;
    const size_t n = PyLong_AsSize_t(arg);
    if (n == static_cast<size_t>(-1) && PyErr_Occurred()) return nullptr;
    return PyLong_FromSize_t(bound(reader, n));
}

PyObject *ReaderObj_read_max_out(ReaderObject *self, PyObject *arg) {
    return max_out(self, arg, tolvane_read_max_out);
}

PyObject *ReaderObj_read_follow_max_out(ReaderObject *self, PyObject *arg) {
    return max_out(self, arg, tolvane_read_follow_max_out);
}

PyObject *ReaderObj_reset(ReaderObject *self, PyObject *) {
    Reader *reader = idle_reader(self);
    if (!reader) return nullptr;
    tolvane_reset(reader);
    Py_RETURN_NONE;
}

PyObject *ReaderObj_close(ReaderObject *self, PyObject *) {
    close_reader(self);
    Py_RETURN_NONE;
}

PyObject *ReaderObj_enter(ReaderObject *self, PyObject *) {
    Py_INCREF(self);
    return reinterpret_cast<PyObject *>(self);
}

PyObject *ReaderObj_exit(ReaderObject *self, PyObject *) {
    close_reader(self);
    Py_RETURN_NONE;
}

// ---- properties ----------------------------------------------------------------------

PyObject *enum_value(long value, const EnumTable &table) {
    if (value < 0 || value >= table.count) {
        PyErr_Format(PyExc_ValueError, "%s holds out-of-range %s value %ld (valid: 0..%ld)", table.property,
                     table.enum_name, value, table.count - 1);
        return nullptr;
    }
    return PyUnicode_FromString(table.names[value]);
}

template <auto Getter, const EnumTable &Table>
PyObject *Reader_getprop_enum(ReaderObject *self, void *) {
    Reader *reader = live_reader(self);
    return reader ? enum_value(static_cast<long>(Getter(reader)), Table) : nullptr;
}

template <auto Getter>
PyObject *Reader_getprop_float(ReaderObject *self, void *) {
    Reader *reader = live_reader(self);
    return reader ? PyFloat_FromDouble(Getter(reader)) : nullptr;
}

template <auto Getter>
PyObject *Reader_getprop_count(ReaderObject *self, void *) {
    Reader *reader = live_reader(self);
    return reader ? PyLong_FromUnsignedLongLong(Getter(reader)) : nullptr;
}

template <auto Getter>
PyObject *Reader_getprop_budget(ReaderObject *self, void *) {
    Reader *reader = live_reader(self);
    return reader ? PyLong_FromUnsignedLong(static_cast<uint32_t>(Getter(reader))) : nullptr;
}

// Budgets keep the low 32 bits of the value, so -1 reads back as 4294967295.
template <auto Setter>
int Reader_setprop_budget(ReaderObject *self, PyObject *value, void *) {
    Reader *reader = live_reader(self);
    if (!reader) return -1;
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "cannot delete a follow budget");
        return -1;
    }
    const unsigned long ms = PyLong_AsUnsignedLongMask(value);
    if (ms == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    Setter(reader, static_cast<uint32_t>(ms));
    return 0;
}

template <typename T>
PyObject *element_list(const KeywordEntry *entry, PyObject *(*convert)(T)) {
    const T *values = static_cast<const T *>(entry->data);
    if (entry->count == 1) return convert(values[0]);
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(entry->count));
    if (!list) return nullptr;
    for (uint64_t i = 0; i < entry->count; ++i) {
        PyObject *item = convert(values[i]);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject *from_int(int64_t v) { return PyLong_FromLongLong(v); }
PyObject *from_i8(int8_t v) { return from_int(v); }
PyObject *from_i16(int16_t v) { return from_int(v); }
PyObject *from_i32(int32_t v) { return from_int(v); }
PyObject *from_f32(float v) { return PyFloat_FromDouble(v); }

// Text keeps every byte: invalid UTF-8 becomes surrogate escapes instead of an error.
PyObject *Reader_decode_keywords(const KeywordEntry *entry) {
    switch (entry->type) {
    case 'A':
        return PyUnicode_DecodeUTF8(static_cast<const char *>(entry->data),
                                    static_cast<Py_ssize_t>(entry->count), "surrogateescape");
    case 'B': return element_list<int8_t>(entry, from_i8);
    case 'I': return element_list<int16_t>(entry, from_i16);
    case 'L':
    case 'T': return element_list<int32_t>(entry, from_i32);
    case 'X': return element_list<int64_t>(entry, from_int);
    case 'F': return element_list<float>(entry, from_f32);
    case 'D': return element_list<double>(entry, PyFloat_FromDouble);
    default: PyErr_Format(PyExc_ValueError, "unknown code '%c'", entry->type); return nullptr;
    }
}

struct EntryAccess {
    const char *what;
    const char *tag_fn;
    size_t (*count)(const Reader *);
    const char *(*tag)(const Reader *, size_t);
    const KeywordEntry *(*entry)(const Reader *, size_t);
};

PyObject *entries_dict(ReaderObject *self, const EntryAccess &access) {
    Reader *reader = live_reader(self);
    if (!reader) return nullptr;
    PyObject *dict = PyDict_New();
    if (!dict) return nullptr;
    const size_t n = access.count(reader);
    for (size_t i = 0; i < n; ++i) {
        const char *tag = access.tag(reader, i);
        const KeywordEntry *entry = access.entry(reader, i);
        if (!tag || !entry) {
            PyErr_Format(PyExc_RuntimeError, "%s: %s returned NULL at index %zu", access.what, access.tag_fn, i);
            Py_DECREF(dict);
            return nullptr;
        }
        PyObject *value = Reader_decode_keywords(entry);
        if (!value || PyDict_SetItemString(dict, tag, value) < 0) {
            Py_XDECREF(value);
            Py_DECREF(dict);
            return nullptr;
        }
        Py_DECREF(value);
    }
    return dict;
}

PyObject *Reader_getprop_keywords(ReaderObject *self, void *) {
    static constexpr EntryAccess access{"keywords", "tolvane_keyword_tag", tolvane_num_keywords,
                                        tolvane_keyword_tag, tolvane_keyword};
    return entries_dict(self, access);
}

// A number, or None for the value that stands for "not given".
PyObject *float_or_none(double v) { return std::isnan(v) ? Py_NewRef(Py_None) : PyFloat_FromDouble(v); }

PyObject *segment_dict(const CaptureSegment &c) {
    PyObject *datetime = c.datetime ? PyUnicode_DecodeUTF8(c.datetime, static_cast<Py_ssize_t>(std::strlen(c.datetime)),
                                                           "surrogateescape")
                                    : Py_NewRef(Py_None);
    PyObject *index = c.global_index >= 0 ? PyLong_FromLongLong(c.global_index) : Py_NewRef(Py_None);
    PyObject *dict = datetime && index ? Py_BuildValue("{s:K,s:N,s:O,s:O}", "sample_start",
                                                       static_cast<unsigned long long>(c.sample_start), "frequency",
                                                       float_or_none(c.frequency), "datetime", datetime,
                                                       "global_index", index)
                                       : nullptr;
    Py_XDECREF(datetime);
    Py_XDECREF(index);
    return dict;
}

PyObject *Reader_getprop_captures(ReaderObject *self, void *) {
    Reader *reader = live_reader(self);
    if (!reader) return nullptr;
    const size_t n = tolvane_num_captures(reader);
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(n));
    for (size_t i = 0; list && i < n; ++i) {
        PyObject *item = segment_dict(*tolvane_capture(reader, i));
        if (!item) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject *Reader_getprop_header(ReaderObject *self, void *) {
    static constexpr EntryAccess access{"header", "tolvane_header_tag", tolvane_num_header_fields,
                                        tolvane_header_tag, tolvane_header_field};
    return entries_dict(self, access);
}

// ---- type and module -------------------------------------------------------------------

PyMethodDef reader_methods[] = {
    {"reset", reinterpret_cast<PyCFunction>(ReaderObj_reset), METH_NOARGS,
     "reset($self)\n--\n\nSeek back to the first sample (512 bytes into an attached BLUE file written by the\n"
     "writer, byte 0 of a .det, raw or SigMF payload) and restore the remaining-sample count.\n"
     "Metadata and keywords are unchanged."},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ReaderObj_read)),
     METH_VARARGS | METH_KEYWORDS,
     "read($self, count=1, out=None)\n--\n\nRead up to `count` samples as complex64 at unit scale.\n\n"
     "Float wire types are reinterpreted, integer types divided by their full scale. Fewer\n"
     "samples come back at the end and an empty array once the capture is exhausted, so a\n"
     "loop on the length terminates. Never returns bytes past the declared payload.\n\n"
     "A read error is not the end: it raises OSError with the errno, the capture's path as\n"
     "filename and the index of the first sample it kept from being read as `sample` (every\n"
     "sample before it was returned, by earlier calls or, with `out`, into `out`). Later\n"
     "reads raise it again until reset().\n\n"
     "Parameters\n----------\ncount : int\n    Samples wanted (not negative).\n"
     "out : numpy.ndarray, optional\n    A writable, C-contiguous complex64 array of at least `count` elements;\n"
     "    the result is then a view of its first elements.\n\n"
     "Returns\n-------\nnumpy.ndarray\n    One-dimensional complex64 array of the samples read."},
    {"read_max_out", reinterpret_cast<PyCFunction>(ReaderObj_read_max_out), METH_O,
     "read_max_out($self, n, /)\n--\n\nThe per-call bound of read for a request of n samples: n. Buffers are sized per call,\n"
     "never for the whole capture."},
    {"read_follow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ReaderObj_read_follow)),
     METH_VARARGS | METH_KEYWORDS,
     "read_follow($self, count=1, out=None)\n--\n\nRead a capture that is still being written.\n\n"
     "Blocks (without holding the interpreter lock) until whole samples arrive and returns them\n"
     "like read; never consumes a partial sample. An empty result means the capture ended, and\n"
     "`ending` says how: \"eof\" once the writer closed and said so, \"timeout\" or \"interrupted\"\n"
     "when a bounded wait expired. With the default budgets (0) it waits forever. Closing the\n"
     "Reader from another thread meanwhile takes effect when this call returns. A read error\n"
     "raises OSError as in read."},
    {"read_follow_max_out", reinterpret_cast<PyCFunction>(ReaderObj_read_follow_max_out), METH_O,
     "read_follow_max_out($self, n, /)\n--\n\nThe per-call bound of read_follow for a request of n samples: n."},
    {"close", reinterpret_cast<PyCFunction>(ReaderObj_close), METH_NOARGS,
     "close($self)\n--\n\nRelease the capture now instead of at collection. Idempotent; every other member\n"
     "raises RuntimeError afterwards."},
    {"destroy", reinterpret_cast<PyCFunction>(ReaderObj_close), METH_NOARGS,
     "destroy($self)\n--\n\nSame as close()."},
    {"__enter__", reinterpret_cast<PyCFunction>(ReaderObj_enter), METH_NOARGS,
     "Context-manager entry: the Reader itself."},
    {"__exit__", reinterpret_cast<PyCFunction>(ReaderObj_exit), METH_VARARGS,
     "Context-manager exit: close(); never suppresses an exception."},
    {nullptr, nullptr, 0, nullptr},
};

#define GETTER(fn) reinterpret_cast<getter>(fn)
#define SETTER(fn) reinterpret_cast<setter>(fn)

PyGetSetDef reader_getset[] = {
    {"follow_timeout_ms", GETTER(Reader_getprop_budget<tolvane_get_follow_timeout_ms>),
     SETTER(Reader_setprop_budget<tolvane_set_follow_timeout_ms>),
     "Budget in ms for waiting for data in read_follow; 0 waits forever. Stored as an unsigned\n"
     "32-bit value (the low 32 bits of what is set). An expired wait leaves `ending` at \"timeout\".",
     nullptr},
    {"follow_grace_ms", GETTER(Reader_getprop_budget<tolvane_get_follow_grace_ms>),
     SETTER(Reader_setprop_budget<tolvane_set_follow_grace_ms>),
     "Budget in ms for waiting for the end-of-capture marker after a stop request (the interrupt\n"
     "flag); 0 waits forever. It trades an unlikely hang for not losing the tail while the writer\n"
     "patches its header; an expired grace leaves `ending` at \"interrupted\".",
     nullptr},
    {"ending", GETTER((Reader_getprop_enum<tolvane_get_ending, kEndingEnum>)), nullptr,
     "How the last read_follow ended: \"none\" while live, \"eof\", \"timeout\", \"interrupted\", or\n"
     "\"truncated\" when the file became shorter than the position read (its writer cut it or began\n"
     "it anew, so what follows would not continue what was read).", nullptr},
    {"file_type", GETTER((Reader_getprop_enum<tolvane_get_file_type, kFileTypeEnum>)), nullptr,
     "\"raw\", \"csv\", \"blue\" or \"sigmf\", detected from content. \"raw\" is also the fallback for\n"
     "anything unrecognised (headerless interleaved I/Q at the sample_type passed).", nullptr},
    {"sample_type", GETTER((Reader_getprop_enum<tolvane_get_sample_type, kSampleTypeEnum>)), nullptr,
     "Wire sample type: authoritative for BLUE and SigMF, the echoed hint for raw and CSV.", nullptr},
    {"mode", GETTER((Reader_getprop_enum<tolvane_get_mode, kModeEnum>)), nullptr,
     "\"complex\" or \"scalar\"; only BLUE carries scalar samples, which come back with imaginary part 0.",
     nullptr},
    {"endian", GETTER((Reader_getprop_enum<tolvane_get_endian, kEndianEnum>)), nullptr,
     "\"le\" or \"be\": from head_rep for BLUE, the datatype suffix for SigMF, the hint for raw;\n"
     "CSV ignores it.", nullptr},
    {"fs", GETTER(Reader_getprop_float<tolvane_get_fs>), nullptr,
     "Sample rate in Hz: BLUE 1/xdelta, SigMF core:sample_rate; raw and CSV 0.0.", nullptr},
    {"fc", GETTER(Reader_getprop_float<tolvane_get_fc>), nullptr,
     "Centre frequency in Hz; see fc_source, which tells \"not found\" from a real 0 Hz.", nullptr},
    {"fs_source", GETTER((Reader_getprop_enum<tolvane_get_fs_source, kFsSourceEnum>)), nullptr,
     "Where fs came from: \"none\", \"xdelta\" or \"core:sample_rate\".", nullptr},
    {"t0", GETTER(Reader_getprop_float<tolvane_get_t0>), nullptr,
     "Start time in UNIX seconds (t = t0 + n/fs): the BLUE timecode (1950 base) converted. A zero\n"
     "timecode means unset; SigMF core:datetime is not parsed.", nullptr},
    {"t0_source", GETTER((Reader_getprop_enum<tolvane_get_t0_source, kT0SourceEnum>)), nullptr,
     "Where t0 came from: \"none\" or \"timecode\".", nullptr},
    {"num_samples", GETTER(Reader_getprop_count<tolvane_get_num_samples>), nullptr,
     "Samples in the capture: BLUE from data_size (or fewer, when the file holds fewer), raw and\n"
     "SigMF from the file length, CSV counted once on first access without moving the read\n"
     "position.", nullptr},
    {"declared_samples", GETTER(Reader_getprop_count<tolvane_get_declared_samples>), nullptr,
     "Samples the capture declares: a BLUE header's count, else num_samples. Above num_samples\n"
     "for a cut capture (a writer that died before writing all it declared).", nullptr},
    {"num_channels", GETTER(Reader_getprop_count<tolvane_get_num_channels>), nullptr,
     "Channels interleaved in the capture's frames: SigMF core:num_channels, else 1.", nullptr},
    {"channel", GETTER(Reader_getprop_count<tolvane_get_channel>), nullptr,
     "The channel read: the one chosen with channel=K, else 0.", nullptr},
    {"fc_source", GETTER((Reader_getprop_enum<tolvane_get_fc_source, kFcSourceEnum>)), nullptr,
     "Where fc came from: \"none\", \"FREQ\", \"RF_FREQ\", \"CENTER_FREQ\", \"F_C\" (BLUE keywords, in\n"
     "that order of preference) or \"core:frequency\" (SigMF).", nullptr},
    {"trailing_bytes", GETTER(Reader_getprop_count<tolvane_get_trailing_bytes>), nullptr,
     "Bytes after the last whole sample; non-zero means a wrong hint or a truncated capture.\n"
     "Always 0 for CSV.", nullptr},
    {"keywords", GETTER(Reader_getprop_keywords), nullptr,
     "The keyword area and extended header as {tag: value} in file order: str for \"A\", a number\n"
     "for a single element, a list for several. For a detached capture they come from the header file.",
     nullptr},
    {"captures", GETTER(Reader_getprop_captures), nullptr,
     "The capture's segments as dicts: sample_start, frequency (Hz), datetime (the text the capture\n"
     "gives) and global_index, None where a segment gives none. A SigMF recording has one per\n"
     "captures entry (a retune starts a new one), a BLUE capture one, raw and CSV none.", nullptr},
    {"header", GETTER(Reader_getprop_header), nullptr,
     "Every BLUE header field under its name, raw; empty for other file types.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char *kReaderDoc =
    "Reader(path, sample_type=\"cf32\", endian=\"le\", channel=None)\n--\n\n"
    "A capture opened for reading; the file type is detected from content.\n\n"
    "For a detached BLUE capture the path is normally the header file (<base>.tmp, <base>.prm\n"
    "or the writer's <base>.hdr) whose detached field points at <base>.det; passing the .det\n"
    "directly also works. A .sigmf-data path resolves its .sigmf-meta. sample_type and endian\n"
    "are hints for headerless files only; a wrong hint does not fail (see trailing_bytes).\n"
    "A SigMF recording of several interleaved channels (core:num_channels) is read one channel\n"
    "at a time: channel=K chooses it, and without one the recording is refused.\n\n"
    "Raises\n------\nFileNotFoundError, IsADirectoryError, PermissionError\n"
    "    When the file system refuses the file, with its path as filename: the capture, or the\n"
    "    .sigmf-meta of a .sigmf-data path.\n"
    "OSError\n    When reading the capture's headers or metadata fails (its errno, the path).\n"
    "ValueError\n    For an unknown sample_type or endian, a negative channel, or a capture refused for\n"
    "    what it holds (saying why, when the reader can).";

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char *>(kReaderDoc)},
    {Py_tp_dealloc, reinterpret_cast<void *>(Reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_init, reinterpret_cast<void *>(Reader_init)},
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the type cannot be subclassed.
PyType_Spec reader_spec = {"tolvane.Reader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT, reader_slots};

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
    PyObject *reader_type = PyType_FromSpec(&reader_spec);
    if (!reader_type) return nullptr;

    PyObject *module = PyModule_Create(&tolvane_module);
    if (!module) {
        Py_DECREF(reader_type);
        return nullptr;
    }
    if (PyModule_AddObject(module, "Reader", reader_type) < 0) {
        Py_DECREF(reader_type);
        Py_DECREF(module);
        return nullptr;
    }
    if (adopt_interrupt_state() != 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
