// Module initialisation: the create and exec steps, the process-wide state
// they set up, and the lookup of module globals.
#pragma once

#include "common.hpp"
#include "compat.hpp"

#include <cstdint>

namespace factsift {

struct ModuleState {
    std::int64_t interpreter_id = -1;  // the one interpreter this process allows
    Ref module;                        // the module being or having been executed
    Ref builtins;                      // the module builtins, second place for globals
};

// Never destroyed: it must outlive the interpreter's finalisation, after
// which releasing its references would be an error.
inline ModuleState& state = *new ModuleState;

// Resolves a module global: `globals` first, builtins second; NameError when
// neither has it.
Ref lookup_global(PyObject* globals, PyObject* name);

// One place in the source that uses a module global. It remembers what the
// name last resolved to, which stays right while neither namespace changes.
// The value is held for the life of the process, like the tables'.
struct GlobalSite {
    explicit GlobalSite(PyObject* const* global) : name(global) {}
    PyObject* const* name;
    PyObject* globals = nullptr;  // compared, never dereferenced
    compat::Stamp stamp;
    PyObject* value = nullptr;
};

Ref lookup_global(PyObject* globals, GlobalSite& site);

}  // namespace factsift
