// The one place that knows how CPython 3.10 to 3.13 differ: code objects,
// frames, the handled exception and optional attribute reads.
#pragma once

#include "common.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <cstdint>

namespace factsift::compat {

// A code object with four positional-or-keyword parameters, the given local
// names, no bytecode and flags optimised | new-locals.
inline Ref new_code(PyObject* varnames, PyObject* name, PyObject* qualname, int firstline) {
    PyObject* empty = C.empty_tuple;
    Ref file(PyUnicode_FromString(source_file));
    if (!file) return {};
    const int argcount = 4, nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
#if PY_VERSION_HEX >= 0x030C0000
    return Ref(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, C.empty_bytes, empty, empty, varnames, empty, empty,
        file.get(), name, qualname, firstline, C.empty_bytes, C.empty_bytes)));
#elif PY_VERSION_HEX >= 0x030B0000
    return Ref(reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, C.empty_bytes, empty, empty, varnames, empty, empty,
        file.get(), name, qualname, firstline, C.empty_bytes, C.empty_bytes)));
#else
    (void)qualname;
    return Ref(reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, C.empty_bytes, empty, empty, varnames, empty, empty,
        file.get(), name, firstline, C.empty_bytes)));
#endif
}

// 3.11 and later read a frame's line from its code object alone.
inline void set_frame_line([[maybe_unused]] PyFrameObject* frame, [[maybe_unused]] int line) {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#endif
}

// The pending exception, taken out of the error indicator as a normalised
// value that carries its traceback.
inline Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref(value);
#endif
}

// The pending exception, set aside and put back as it was (not normalised
// where the interpreter allows that).
class PendingError {
public:
    PendingError() {
#if PY_VERSION_HEX >= 0x030C0000
        value_ = Ref(PyErr_GetRaisedException());
#else
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        type_ = Ref(type), value_ = Ref(value), tb_ = Ref(tb);
#endif
    }
    void restore() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value_.release());
#else
        PyErr_Restore(type_.release(), value_.release(), tb_.release());
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    Ref type_, tb_;
#endif
    Ref value_;
};

// What sys.exc_info() reports, noted on entry to a working method and put back
// on every exit.
class HandledException {
public:
    HandledException() {
#if PY_VERSION_HEX >= 0x030B0000
        value_ = Ref(PyErr_GetHandledException());
#else
        PyObject *type, *value, *tb;
        PyErr_GetExcInfo(&type, &value, &tb);
        type_ = Ref(type), value_ = Ref(value), tb_ = Ref(tb);
#endif
    }
    void restore() {
#if PY_VERSION_HEX >= 0x030B0000
        PyErr_SetHandledException(value_.get());
#else
        PyErr_SetExcInfo(type_.release(), value_.release(), tb_.release());
#endif
    }

    // Makes `value` (normalised, with its traceback) the exception being handled.
    static void set(PyObject* value) {
#if PY_VERSION_HEX >= 0x030B0000
        PyErr_SetHandledException(value);
#else
        PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), Py_NewRef(value),
                         PyException_GetTraceback(value));
#endif
    }

private:
#if PY_VERSION_HEX < 0x030B0000
    Ref type_, tb_;
#endif
    Ref value_;
};

// Reads an attribute that may be missing: 1 found, 0 missing, -1 error.
inline int optional_attr(PyObject* obj, PyObject* name, Ref& out) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value;
    int found = PyObject_GetOptionalAttr(obj, name, &value);
    out = Ref(value);
    return found;
#else
    out = Ref(PyObject_GetAttr(obj, name));
    if (out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
#endif
}

// A mark of the state of the module namespace and the builtins' namespace:
// equal marks mean neither changed in between. Up to 3.11 these are the
// dictionaries' version tags; from 3.12 on, which deprecates them, a counter
// that a dictionary watcher advances on every change. A zero `globals` is no
// mark at all (the namespaces could not be watched) and matches nothing.
struct Stamp {
    std::uint64_t globals = 0, builtins = 0;
    bool operator==(const Stamp&) const = default;
};

#if PY_VERSION_HEX >= 0x030C0000
inline std::uint64_t namespace_changes = 0;  // 0 until a watch is in place
inline int watcher = -1;

inline int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++namespace_changes;
    return 0;
}

// Watches `dict` for changes. Without a free watcher (an interpreter has
// eight) nothing is watched and no stamp ever matches.
inline void watch(PyObject* dict) {
    if (watcher == -1) watcher = PyDict_AddWatcher(count_change);
    if (watcher >= 0 && PyDict_Watch(watcher, dict) == 0) {
        namespace_changes += namespace_changes == 0;
        return;
    }
    PyErr_Clear();
    watcher = -2;
    namespace_changes = 0;
}

inline Stamp stamp(PyObject*, PyObject*) { return {watcher >= 0 ? namespace_changes : 0, 0}; }
#else
inline void watch(PyObject*) {}

inline Stamp stamp(PyObject* globals, PyObject* builtins) {
    return {reinterpret_cast<PyDictObject*>(globals)->ma_version_tag,
            reinterpret_cast<PyDictObject*>(builtins)->ma_version_tag};
}
#endif

// The hash that an exact str has cached, or -1 when it has none yet.
inline Py_hash_t cached_hash(PyObject* s) { return reinterpret_cast<PyASCIIObject*>(s)->hash; }

}  // namespace factsift::compat
