// How the versions of CPython that the module supports (3.10 to 3.15)
// differ: code objects, frames, the handled exception, optional attribute
// reads, legacy strings and member definitions. (The cache of module globals
// keeps its own version notes.)
#pragma once

#include "common.hpp"

#include <frameobject.h>

#if PY_VERSION_HEX < 0x030B0000
#include <opcode.h>
#endif
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace factsift::compat {

// code.replace(**changes), for a code object and a dictionary of changes,
// either of which may be missing after a failure.
inline Ref replaced(const Ref& code, const Ref& changes) {
    Ref replace(changes ? PyObject_GetAttrString(code.get(), "replace") : nullptr);
    return Ref(replace ? PyObject_Call(replace.get(), C.empty_tuple, changes.get()) : nullptr);
}

// Anyone can run a code object that __code__ or a traceback's frame hands
// out (exec, types.FunctionType), so every code object of the module has the
// body of the interpreter's own empty code objects: it raises AssertionError.
// 3.10's empty code objects have no body at all; 3.11 gave them this one.
inline Ref empty_code(const char* name, int line) {
    Ref code(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file, name, line)));
#if PY_VERSION_HEX < 0x030B0000
    const char body[] = {LOAD_ASSERTION_ERROR, 0, static_cast<char>(RAISE_VARARGS), 1};
    const char lines[] = {sizeof body, 0};  // every instruction on the first line
    code = replaced(code, Ref(code ? Py_BuildValue("{s:y#,s:y#,s:i}", "co_code", body, Py_ssize_t{sizeof body},
                                                   "co_linetable", lines, Py_ssize_t{sizeof lines},
                                                   "co_stacksize", 1)
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
    Ref changes(Py_BuildValue("{s:i,s:n,s:O,s:i,s:O}", "co_argcount", argcount, "co_nlocals", nlocals,
                              "co_varnames", varnames, "co_flags", flags, "co_qualname", qualname));
#else
    Ref changes(Py_BuildValue("{s:i,s:n,s:O,s:i}", "co_argcount", argcount, "co_nlocals", nlocals,
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

// A call of one of the module's methods counts against the recursion limit
// as the frame of a Python function does. Up to 3.11 Python frames and C
// levels share one count, Py_EnterRecursiveCall's. From 3.12 on that count
// is the C stack's alone, apart from sys.setrecursionlimit(), and a Python
// frame takes one from the thread state's py_recursion_remaining instead,
// as the interpreter's frame push does (checked against 3.12 to 3.15).
// Either way the C stack stays guarded: a method that recurses through C
// code alone meets RecursionError, not the end of the stack.
#if PY_VERSION_HEX >= 0x030C0000
inline bool enter_python_call() {
    PyThreadState* thread = PyThreadState_Get();
    if (thread->py_recursion_remaining-- <= 0 && !thread->recursion_headroom) {
        ++thread->py_recursion_remaining;
        ++thread->recursion_headroom;
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        --thread->recursion_headroom;
        return false;
    }
    if (thread->py_recursion_remaining < -50) Py_FatalError("Cannot recover from Python stack overflow.");
    if (Py_EnterRecursiveCall("") == 0) return true;
    ++thread->py_recursion_remaining;
    return false;
}

inline void leave_python_call() {
    Py_LeaveRecursiveCall();
    ++PyThreadState_Get()->py_recursion_remaining;
}
#else
inline bool enter_python_call() { return Py_EnterRecursiveCall("") == 0; }
inline void leave_python_call() { Py_LeaveRecursiveCall(); }
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

// The hash that an exact str has cached, or -1 when it has none yet.
inline Py_hash_t cached_hash(PyObject* s) { return reinterpret_cast<PyASCIIObject*>(s)->hash; }

// Readies a str that a C extension made in the legacy way, which 3.10 and
// 3.11 still allow; from 3.12 on every str is ready.
inline bool ready([[maybe_unused]] PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s) == 0;
#else
    return true;
#endif
}

// Member definitions: 3.12 gives structmember.h's names a Py_ prefix in
// Python.h and deprecates the header.
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr int member_ssize_t = Py_T_PYSSIZET, member_readonly = Py_READONLY;
#else
inline constexpr int member_ssize_t = T_PYSSIZET, member_readonly = READONLY;
#endif

}  // namespace factsift::compat
