// Every difference between the versions of CPython that the module supports
// (3.10 to 3.15) lives here. Where a newer version has an API for something,
// an older one gets a stand-in under the same name, so that the rest of the
// code calls the modern API and dropping a version means deleting its
// stand-ins: PyErr_GetRaisedException and PyErr_SetRaisedException (3.12),
// PyErr_GetHandledException and PyErr_SetHandledException (3.11),
// PyObject_GetOptionalAttr (3.13), PyUnstable_Unicode_GET_CACHED_HASH (3.15),
// Py_T_PYSSIZET and Py_READONLY (3.12). What has no such API is in the
// namespace compat: code objects and frames for traceback entries, the
// recursion count, and the watch on the namespaces that module globals come
// from.
#pragma once

#include "common.hpp"

#include <frameobject.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030B0000
#include <opcode.h>
#endif
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

// ---- stand-ins for newer APIs ------------------------------------------------

#if PY_VERSION_HEX < 0x030C0000
// The pending exception as a normalised value that carries its traceback.
inline PyObject* PyErr_GetRaisedException() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}

// Steals `value`, a normalised exception or null.
inline void PyErr_SetRaisedException(PyObject* value) {
    if (!value) return PyErr_Restore(nullptr, nullptr, nullptr);
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
}

#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

#if PY_VERSION_HEX < 0x030B0000
inline PyObject* PyErr_GetHandledException() {
    PyObject *type, *value, *tb;
    PyErr_GetExcInfo(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}

// Does not steal `value`, which is a normalised exception, None or null.
inline void PyErr_SetHandledException(PyObject* value) {
    if (!value || value == Py_None) return PyErr_SetExcInfo(nullptr, nullptr, nullptr);
    PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), Py_NewRef(value),
                     PyException_GetTraceback(value));
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// 1 found, 0 missing, -1 error.
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    *result = PyObject_GetAttr(obj, name);
    if (*result) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}
#endif

#if PY_VERSION_HEX < 0x030F0000
inline Py_hash_t PyUnstable_Unicode_GET_CACHED_HASH(PyObject* s) { return reinterpret_cast<PyASCIIObject*>(s)->hash; }
#endif

namespace factsift::compat {

// ---- code objects and frames for traceback entries ---------------------------

// code.replace(**changes), for a code object and a dictionary of changes,
// either of which may be missing after a failure.
inline Ref replaced(const Ref& code, const Ref& changes) {
    Ref replace = Ref::consuming(changes ? PyObject_GetAttrString(code.get(), "replace") : nullptr);
    return Ref::consuming(replace ? PyObject_VectorcallDict(replace.get(), nullptr, 0, changes.get()) : nullptr);
}

// Anyone can run a code object that __code__ or a traceback's frame hands
// out (exec, types.FunctionType), so every code object of the module has the
// body of the interpreter's own empty code objects: it raises AssertionError.
// 3.10's empty code objects have no body at all; 3.11 gave them this one.
inline Ref empty_code(const char* name, int line) {
    Ref code = Ref::consuming(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file, name, line)));
#if PY_VERSION_HEX < 0x030B0000
    const char body[] = {LOAD_ASSERTION_ERROR, 0, static_cast<char>(RAISE_VARARGS), 1};
    const char lines[] = {sizeof body, 0};  // every instruction on the first line
    code = replaced(
        code, Ref::consuming(code ? Py_BuildValue("{s:y#,s:y#,s:i}", "co_code", body, Py_ssize_t{sizeof body},
                                                  "co_linetable", lines, Py_ssize_t{sizeof lines}, "co_stacksize", 1)
                                  : nullptr));
#endif
    return code;
}

// A method's code object: four positional-or-keyword parameters, the given
// local names, flags optimised | new-locals.
inline Ref new_code(PyObject* varnames, const char* name, [[maybe_unused]] PyObject* qualname, int firstline) {
    Ref code = empty_code(name, firstline);
    if (!code) return {};
    const int argcount = 4, flags = CO_OPTIMIZED | CO_NEWLOCALS;
    const Py_ssize_t nlocals = PyTuple_GET_SIZE(varnames);
#if PY_VERSION_HEX >= 0x030B0000
    Ref changes = Ref::consuming(Py_BuildValue("{s:i,s:n,s:O,s:i,s:O}", "co_argcount", argcount, "co_nlocals", nlocals,
                              "co_varnames", varnames, "co_flags", flags, "co_qualname", qualname));
#else
    Ref changes = Ref::consuming(Py_BuildValue("{s:i,s:n,s:O,s:i}", "co_argcount", argcount, "co_nlocals", nlocals,
                              "co_varnames", varnames, "co_flags", flags));
#endif
    return replaced(code, changes);
}

// 3.11 and later read a frame's line from its code object alone.
inline void set_frame_line([[maybe_unused]] PyFrameObject* frame, [[maybe_unused]] int line) {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#endif
}

// ---- the recursion count --------------------------------------------------------

// A call of one of the module's methods counts against the recursion limit
// as the frame of a Python function does. Up to 3.11 Python frames and C
// levels share one count, Py_EnterRecursiveCall's. From 3.12 on that count
// is the C stack's alone, apart from sys.setrecursionlimit(), and a Python
// frame takes one from the thread state's py_recursion_remaining instead,
// as the interpreter's frame push does (checked against 3.12 to 3.15).
// Either way the C stack stays guarded: a method that recurses through C
// code alone meets RecursionError, not the end of the stack.
#if PY_VERSION_HEX >= 0x030C0000
// Null, with RecursionError set, when the limit is reached; else the thread
// state, to hand to leave_python_call.
inline PyThreadState* enter_python_call() {
    PyThreadState* thread = PyThreadState_Get();
    if (thread->py_recursion_remaining-- <= 0 && !thread->recursion_headroom) {
        ++thread->py_recursion_remaining;
        ++thread->recursion_headroom;
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        --thread->recursion_headroom;
        return nullptr;
    }
    if (thread->py_recursion_remaining < -50) Py_FatalError("Cannot recover from Python stack overflow.");
    if (Py_EnterRecursiveCall("") == 0) return thread;
    ++thread->py_recursion_remaining;
    return nullptr;
}

inline void leave_python_call(PyThreadState* thread) {
    Py_LeaveRecursiveCall();
    ++thread->py_recursion_remaining;
}
#else
inline PyThreadState* enter_python_call() { return Py_EnterRecursiveCall("") ? nullptr : PyThreadState_Get(); }
inline void leave_python_call(PyThreadState*) { Py_LeaveRecursiveCall(); }
#endif

// A class call counts one level of its own before __init__'s frame up to
// 3.11 (the C call of the class); 3.12 and later count C levels apart from
// the recursion limit, and __init__'s own count guards the C stack.
#if PY_VERSION_HEX >= 0x030C0000
inline bool enter_class_call() { return true; }
inline void leave_class_call() {}
#else
inline bool enter_class_call() { return Py_EnterRecursiveCall(" while calling a Python object") == 0; }
inline void leave_class_call() { Py_LeaveRecursiveCall(); }
#endif

// ---- the version of a class --------------------------------------------------

// A number that the class's every change (its own or a base's) replaces by
// another, never used before; 0 when it has none. The interpreter's own
// caches of attribute lookups key on it. 3.10 and 3.11 keep a stale number
// and clear a flag instead; 3.12 and later set it to 0.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// Gives the class a version when it has none (and one can still be given);
// returns it, or 0. Before 3.12 a lookup through the type's attribute cache
// is what assigns one.
inline unsigned int assign_type_version(PyTypeObject* type, [[maybe_unused]] PyObject* name) {
#if PY_VERSION_HEX >= 0x030C0000
    PyUnstable_Type_AssignVersionTag(type);
#else
    _PyType_Lookup(type, name);
#endif
    return type_version(type);
}

// ---- the watch on the namespaces ------------------------------------------------

// A mark of the state of the module namespace and the builtins' namespace:
// equal marks mean neither changed in between. A zero `globals` is no mark
// at all (the namespaces could not be watched) and matches nothing.
struct Stamp {
    std::uint64_t globals = 0, builtins = 0;
    bool operator==(const Stamp&) const = default;
};

// The watch's own state, which the process-wide state holds.
struct NamespaceWatch {
    int watcher = -1;           // 3.12+: the watcher's id; -2 once watching has failed
    std::uint64_t changes = 0;  // 3.12+: changes seen, 0 until a watch is in place
};

// The process's watch (state.hpp).
NamespaceWatch& namespace_watch();

#if PY_VERSION_HEX >= 0x030C0000
// 3.12 deprecates the dictionaries' version tags (3.14 removes them): a
// dictionary watcher counts every change of the two namespaces instead.
inline int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++namespace_watch().changes;
    return 0;
}

// Without a free watcher (an interpreter has eight) nothing is watched and no
// stamp ever matches.
inline void watch_namespace(PyObject* dict) {
    NamespaceWatch& w = namespace_watch();
    if (w.watcher == -1) w.watcher = PyDict_AddWatcher(count_change);
    if (w.watcher >= 0 && PyDict_Watch(w.watcher, dict) == 0) {
        w.changes += w.changes == 0;
        return;
    }
    PyErr_Clear();
    w.watcher = -2;
    w.changes = 0;
}

inline Stamp namespace_stamp(PyObject*, PyObject*) {
    const NamespaceWatch& w = namespace_watch();
    return {w.watcher >= 0 ? w.changes : 0, 0};
}
#else
// 3.10 and 3.11: every change of a dictionary gives it a new version tag,
// unique in the process.
inline void watch_namespace(PyObject*) {}

inline Stamp namespace_stamp(PyObject* globals, PyObject* builtins) {
    auto version = [](PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; };
    return {version(globals), version(builtins)};
}
#endif

}  // namespace factsift::compat
