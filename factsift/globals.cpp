#include "globals.hpp"

namespace factsift {
namespace {

// Never destroyed: releasing it after the interpreter's finalisation would be
// an error.
Ref& builtins = *new Ref;

PyObject* builtins_dict() { return PyModule_GetDict(builtins.get()); }

#if PY_VERSION_HEX >= 0x030C0000
// 3.12 deprecates the dictionaries' version tags (3.14 removes them): a
// dictionary watcher counts every change of the two namespaces instead.
std::uint64_t changes = 0;  // 0 until a watch is in place
int watcher = -1;           // -2 once watching has failed

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++changes;
    return 0;
}

// Without a free watcher (an interpreter has eight) nothing is watched and no
// stamp ever matches.
void watch(PyObject* dict) {
    if (watcher == -1) watcher = PyDict_AddWatcher(count_change);
    if (watcher >= 0 && PyDict_Watch(watcher, dict) == 0) {
        changes += changes == 0;
        return;
    }
    PyErr_Clear();
    watcher = -2;
    changes = 0;
}

Stamp stamp_now(PyObject*) { return {watcher >= 0 ? changes : 0, 0}; }
#else
// 3.10 and 3.11: every change of a dictionary gives it a new version tag,
// unique in the process.
void watch(PyObject*) {}

std::uint64_t version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

Stamp stamp_now(PyObject* globals) { return {version(globals), version(builtins_dict())}; }
#endif

}  // namespace

bool set_namespaces(PyObject* globals, Ref module) {
    builtins = std::move(module);
    if (!builtins) return false;
    watch(globals);
    watch(builtins_dict());
    return true;
}

PyObject* builtins_module() { return builtins.get(); }

Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (!value && !PyErr_Occurred() && builtins) value = PyDict_GetItemWithError(builtins_dict(), name);
    if (value) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref lookup_global(PyObject* globals, GlobalSite& site) {
    if (!builtins) return lookup_global(globals, *site.name);
    // Taken before the lookup, which may run code (a key's __eq__) that
    // changes a namespace: the stamp is then already out of date.
    Stamp now = stamp_now(globals);
    if (site.value && now.globals && site.globals == globals && site.stamp == now) return Ref::borrow(site.value);
    Ref value = lookup_global(globals, *site.name);
    site.globals = globals;
    site.stamp = now;
    site.value = value.get();
    return value;
}

}  // namespace factsift
