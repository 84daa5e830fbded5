// The function type of AISummary's methods: binding to instances, vector and
// classic calls with the argument rules of a Python function.
#pragma once

#include "common.hpp"

#include <array>

namespace factsift {

inline constexpr int parameter_count = 4;

// Runs a method once its four arguments are bound (borrowed); returns a new
// reference, or nullptr with an exception set and the method's entry added.
using MethodBody = PyObject* (*)(PyObject* globals, PyObject* const* args) noexcept;

// The constant description of one method. Name fields point at slots of the
// tables of texts and constants (state.hpp), filled by the exec step.
struct MethodDef {
    const char* name;            // in argument errors
    const char* traceback_name;  // in traceback entries
    const Ref* name_str;
    const Ref* qualname;
    int def_line;
    int required;
    std::array<const Ref*, parameter_count> params;
    std::array<const Ref*, parameter_count> defaults;  // nullptr where required
    std::array<const Ref*, 10> locals;                 // the parameters first
    const Ref* reported_defaults;                      // __defaults__ at creation
    MethodBody body;
};

// Creates the type; called once per run of the exec step.
Ref function_type_new();

// A new function object for `def`, with its code object and globals.
Ref function_new(const MethodDef& def, PyObject* code, PyObject* globals);

// Calls `function`, a function object of the module's, as a vector call.
PyObject* call_function(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Whether `obj` is a function object made for `def`.
bool is_function_of(PyObject* obj, const MethodDef& def);
}  // namespace factsift
