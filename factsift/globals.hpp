// Module globals as the methods and the module body use them: looked up by
// name in the module namespace first and the builtins second, with a cache
// per use site that stays valid while neither namespace changes.
#pragma once

#include "common.hpp"
#include "compat.hpp"

namespace factsift {

// One place in the source that uses a module global. It remembers what the
// name last resolved to. A matching stamp proves that a namespace still holds
// that value, so the site keeps no reference of its own: a replaced global
// dies as soon as the namespace lets it go.
struct GlobalSite {
    GlobalSite(const Ref* global) : name(global) {}
    const Ref* name;
    PyObject* globals = nullptr;  // compared, never dereferenced
    compat::Stamp stamp;
    PyObject* value = nullptr;  // borrowed from a namespace while `stamp` matches
};

// Sets the builtins, the second place to look, and starts following changes
// of both namespaces. Called by every run of the exec step.
bool set_namespaces(PyObject* globals, Ref builtins);

// Resolves a module global: `globals` first, builtins second; NameError when
// neither has it.
Ref lookup_global(PyObject* globals, PyObject* name);
Ref lookup_global(PyObject* globals, GlobalSite& site);

}  // namespace factsift
