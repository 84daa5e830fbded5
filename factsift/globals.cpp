#include "globals.hpp"

#include "state.hpp"

namespace factsift {
namespace {

PyObject* builtins_dict() { return PyModule_GetDict(process.builtins.get()); }

}  // namespace

compat::NamespaceWatch& compat::namespace_watch() { return process.namespace_watch; }

bool set_namespaces(PyObject* globals, Ref module) {
    process.builtins = std::move(module);
    if (!process.builtins) return false;
    compat::watch_namespace(globals);
    compat::watch_namespace(builtins_dict());
    return true;
}

Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (!value && !PyErr_Occurred() && process.builtins) value = PyDict_GetItemWithError(builtins_dict(), name);
    if (value) return Ref::owning(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref lookup_global(PyObject* globals, GlobalSite& site) {
    if (!process.builtins) return lookup_global(globals, site.name->get());
    // Taken before the lookup, which may run code (a key's __eq__) that
    // changes a namespace: the stamp is then already out of date.
    compat::Stamp now = compat::namespace_stamp(globals, builtins_dict());
    if (site.value && now.globals && site.globals == globals && site.stamp == now) return Ref::owning(site.value);
    Ref value = lookup_global(globals, site.name->get());
    site.globals = globals;
    site.stamp = now;
    site.value = value.get();
    return value;
}

}  // namespace factsift
