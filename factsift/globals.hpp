// Module globals as the methods and the module body use them: looked up by
// name in the module namespace first and the builtins second, with a cache
// per use site that stays valid while neither namespace changes.
#pragma once

#include "common.hpp"

#include <cstdint>

namespace factsift {

// A mark of the state of the module namespace and the builtins' namespace:
// equal marks mean neither changed in between. A zero `globals` is no mark
// at all (the namespaces could not be watched) and matches nothing.
struct Stamp {
    std::uint64_t globals = 0, builtins = 0;
    bool operator==(const Stamp&) const = default;
};

// One place in the source that uses a module global. It remembers what the
// name last resolved to. A matching stamp proves that a namespace still holds
// that value, so the site keeps no reference of its own: a replaced global
// dies as soon as the namespace lets it go.
struct GlobalSite {
    explicit GlobalSite(PyObject* const* global) : name(global) {}
    PyObject* const* name;
    PyObject* globals = nullptr;  // compared, never dereferenced
    Stamp stamp;
    PyObject* value = nullptr;  // borrowed from a namespace while `stamp` matches
};

// Sets the builtins, the second place to look, and starts following changes
// of both namespaces. Called by every run of the exec step.
bool set_namespaces(PyObject* globals, Ref builtins);

PyObject* builtins_module();

// Resolves a module global: `globals` first, builtins second; NameError when
// neither has it.
Ref lookup_global(PyObject* globals, PyObject* name);
Ref lookup_global(PyObject* globals, GlobalSite& site);

}  // namespace factsift
