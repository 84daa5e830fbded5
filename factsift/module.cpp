#include "module.hpp"

#include "compat.hpp"
#include "function.hpp"
#include "globals.hpp"
#include "summary.hpp"
#include "traceback.hpp"

#include <algorithm>
#include <array>

namespace factsift {

namespace {

constexpr char init_name[] = "init factsift.factsift";

// ---- create step ------------------------------------------------------------

struct SpecCopy {
    const char* spec_attr;
    const char* module_key;
    bool store_none;
};

constexpr SpecCopy spec_copies[] = {
    {"loader", "__loader__", true},
    {"origin", "__file__", true},
    {"parent", "__package__", true},
    {"submodule_search_locations", "__path__", false},
};

bool check_interpreter() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (state.interpreter_id == -1) {
        state.interpreter_id = id;
        return id != -1;
    }
    if (id == state.interpreter_id) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

bool copy_spec_attrs(PyObject* spec, PyObject* dict) {
    for (const SpecCopy& c : spec_copies) {
        Ref name(PyUnicode_FromString(c.spec_attr));
        Ref value;
        int found = name ? compat::optional_attr(spec, name.get(), value) : -1;
        if (found < 0) return false;
        if (!found || (value.get() == Py_None && !c.store_none)) continue;
        if (PyDict_SetItemString(dict, c.module_key, value.get()) < 0) return false;
    }
    return true;
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
    if (!check_interpreter()) return nullptr;
    if (state.module) return Py_NewRef(state.module.get());
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module || !copy_spec_attrs(spec, PyModule_GetDict(module.get()))) return nullptr;
    return module.release();
}

// ---- names and constants ----------------------------------------------------

struct StringSpec {
    PyObject* Strings::*field;
    const char* text;
    bool interned;
};

constexpr StringSpec string_specs[] = {
#define FACTSIFT_SPEC(id, text, interned) {&Strings::id, text, interned},
    FACTSIFT_STRINGS(FACTSIFT_SPEC)
#undef FACTSIFT_SPEC
};

bool create_strings() {
    for (const StringSpec& s : string_specs) {
        Ref text(s.interned ? PyUnicode_InternFromString(s.text) : PyUnicode_FromString(s.text));
        if (!text || PyObject_Hash(text.get()) == -1) return false;
        set_slot(S.*s.field, std::move(text));
    }
    return true;
}

template <typename... Items>
Ref tuple_of(Items... items) {
    return Ref(PyTuple_Pack(sizeof...(items), items...));
}

bool create_constants() {
    set_slot(C.empty_tuple, Ref(PyTuple_New(0)));
    set_slot(C.empty_bytes, Ref(PyBytes_FromStringAndSize(nullptr, 0)));
    if (!C.empty_tuple || !C.empty_bytes) return false;
    set_slot(C.function_type, function_type_new());
    if (!C.function_type || !create_strings()) return false;
    set_slot(C.two_hundred, Ref(PyLong_FromLong(200)));
    set_slot(C.zero, Ref(PyLong_FromLong(0)));
    set_slot(C.client_kwnames, tuple_of(S.base_url, S.api_key));
    set_slot(C.request_kwnames, tuple_of(S.model, S.messages, S.stream));
    return C.two_hundred && C.zero && C.client_kwnames && C.request_kwnames;
}

bool check_version() {
    int version[4] = {0, 0, 0, 0};
    int part = 0;
    for (const char* p = Py_GetVersion(); part < 4; ++p) {
        if (*p >= '0' && *p <= '9') {
            if (version[part] < 100000) version[part] = version[part] * 10 + (*p - '0');
        } else if (*p == '.') {
            ++part;
        } else {
            break;
        }
    }
    if (version[0] == PY_MAJOR_VERSION && version[1] == PY_MINOR_VERSION) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "factsift.factsift", "does not match", version[0],
                  version[1]);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

// ---- the module body --------------------------------------------------------

// Temporaries of one run of the module body.
struct Body {
    PyObject* module = nullptr;
    PyObject* ns = nullptr;
    Ref object;
    std::array<Ref, 3> code;  // of __init__, extract, refined_title
    Ref bases;
    bool bases_replaced = false;
    Ref meta;
    Ref class_ns;
    Ref cls;
};

bool register_module(Body& b) {
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, S.module_name);
    return present > 0 || (present == 0 && PyDict_SetItem(modules, S.module_name, b.module) == 0);
}

bool find_object(Body& b) {
    PyObject* object = PyDict_GetItemWithError(PyModule_GetDict(builtins_module()), S.object);
    if (!object && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", S.object);
    b.object = Ref::borrow(object);
    return object != nullptr;
}

Ref code_of(const MethodDef& def) {
    auto count = std::count_if(def.locals.begin(), def.locals.end(), [](auto local) { return local; });
    Ref varnames(PyTuple_New(count));
    if (!varnames) return {};
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(*def.locals[i]));
    return compat::new_code(varnames.get(), def.name, *def.qualname, def.def_line);
}

bool build_constants(Body& b) {
    set_slot(C.object_bases, tuple_of(b.object.get()));
    if (!C.object_bases || !(b.code[0] = code_of(init_method))) return false;
    set_slot(C.init_defaults, tuple_of(S.empty));
    if (!C.init_defaults || !(b.code[1] = code_of(extract_method))) return false;
    set_slot(C.method_defaults, tuple_of(S.empty, C.two_hundred));
    return C.method_defaults && (b.code[2] = code_of(refined_title_method));
}

// A module that sys.modules holds and that is not still initialising.
Ref imported_module(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
    if (!found) {
        PyErr_Clear();
        return {};
    }
    Ref module = Ref::borrow(found);
    Ref spec(PyObject_GetAttr(module.get(), S.dunder_spec));
    Ref initializing(spec ? PyObject_GetAttr(spec.get(), S.initializing) : nullptr);
    int busy = initializing ? PyObject_IsTrue(initializing.get()) : 0;
    PyErr_Clear();
    return busy > 0 ? Ref() : std::move(module);
}

Ref import(PyObject* ns, PyObject* name, PyObject* fromlist) {
    Ref locals(PyDict_New());
    if (!locals) return {};
    return Ref(PyImport_ImportModuleLevelObject(name, ns, locals.get(), fromlist, 0));
}

template <PyObject* Strings::*name>
bool import_statement(Body& b) {
    PyObject* module_name = S.*name;
    Ref module = imported_module(module_name);
    if (!module) module = import(b.ns, module_name, nullptr);
    return module && PyDict_SetItem(b.ns, module_name, module.get()) == 0;
}

// sys.path.append(os.getcwd())
bool append_cwd(Body& b) {
    Ref sys = lookup_global(b.ns, S.sys);
    Ref path(sys ? PyObject_GetAttr(sys.get(), S.path) : nullptr);
    Ref os(path ? lookup_global(b.ns, S.os) : Ref());
    Ref getcwd(os ? PyObject_GetAttr(os.get(), S.getcwd) : nullptr);
    Ref cwd(getcwd ? PyObject_CallNoArgs(getcwd.get()) : nullptr);
    if (!cwd) return false;
    if (PyList_CheckExact(path.get())) return PyList_Append(path.get(), cwd.get()) == 0;
    Ref append(PyObject_GetAttr(path.get(), S.append));
    return append && Ref(PyObject_CallOneArg(append.get(), cwd.get()));
}

// from openai import OpenAI
bool import_openai(Body& b) {
    Ref fromlist(PyList_New(1));
    if (!fromlist) return false;
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(S.OpenAI));
    Ref module = import(b.ns, S.openai, fromlist.get());
    if (!module) return false;
    Ref value(PyObject_GetAttr(module.get(), S.OpenAI));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref name(PyModule_GetNameObject(module.get()));
        Ref dotted(name ? PyUnicode_FromFormat("%U%U%U", name.get(), S.dot, S.OpenAI) : nullptr);
        PyObject* entry = dotted ? PyDict_GetItemWithError(PyImport_GetModuleDict(), dotted.get()) : nullptr;
        value = Ref::borrow(entry);
    }
    if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", S.OpenAI);
        return false;
    }
    return PyDict_SetItem(b.ns, S.OpenAI, value.get()) == 0;
}

// class AISummary(object): the bases after __mro_entries__.
bool class_bases(Body& b) {
    PyObject* original = C.object_bases;
    Ref resolved(PyList_New(0));
    if (!resolved) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(original); ++i) {
        PyObject* base = PyTuple_GET_ITEM(original, i);
        Ref method;
        int found = PyType_Check(base) ? 0 : compat::optional_attr(base, S.dunder_mro_entries, method);
        if (found < 0) return false;
        if (!found) {
            if (PyList_Append(resolved.get(), base) < 0) return false;
            continue;
        }
        Ref entries(PyObject_CallOneArg(method.get(), original));
        if (!entries) return false;
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return false;
        }
        b.bases_replaced = true;
        if (PyList_SetSlice(resolved.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, entries.get()) < 0) return false;
    }
    b.bases = b.bases_replaced ? Ref(PyList_AsTuple(resolved.get())) : Ref::borrow(original);
    return static_cast<bool>(b.bases);
}

bool class_metaclass(Body& b) {
    PyObject* bases = b.bases.get();
    auto* winner = PyTuple_GET_SIZE(bases) ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* type = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, type)) continue;
        if (!PyType_IsSubtype(type, winner)) {
            PyErr_SetString(PyExc_TypeError,
                            "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                            "subclass of the metaclasses of all its bases");
            return false;
        }
        winner = type;
    }
    b.meta = Ref::borrow(reinterpret_cast<PyObject*>(winner));
    return true;
}

bool class_namespace(Body& b) {
    Ref prepare;
    int found = compat::optional_attr(b.meta.get(), S.dunder_prepare, prepare);
    if (found < 0) return false;
    PyObject* args[] = {S.AISummary, b.bases.get()};
    b.class_ns = Ref(found ? PyObject_Vectorcall(prepare.get(), args, 2, nullptr) : PyDict_New());
    return b.class_ns && PyObject_SetItem(b.class_ns.get(), S.dunder_module, S.module_name) == 0 &&
           PyObject_SetItem(b.class_ns.get(), S.dunder_qualname, S.AISummary) == 0 &&
           (!b.bases_replaced || PyObject_SetItem(b.class_ns.get(), S.dunder_orig_bases, C.object_bases) == 0);
}

template <const MethodDef& def, std::size_t code>
bool define_method(Body& b) {
    Ref function = function_new(def, b.code[code].get(), b.ns);
    return function && PyObject_SetItem(b.class_ns.get(), *def.name_str, function.get()) == 0;
}

bool class_create(Body& b) {
    PyObject* args[] = {S.AISummary, b.bases.get(), b.class_ns.get()};
    b.cls = Ref(PyObject_Vectorcall(b.meta.get(), args, 3, nullptr));
    if (!b.cls) return false;
    speed_up_construction(b.cls.get());
    return PyDict_SetItem(b.ns, S.AISummary, b.cls.get()) == 0;
}

bool add_test_dict(Body& b) {
    Ref test(PyDict_New());
    return test && PyDict_SetItem(b.ns, S.dunder_test, test.get()) == 0;
}

// The module body in source order, with the line each statement reports.
constexpr Step<Body> body[] = {
    {1, register_module},
    {1, find_object},
    {1, build_constants},
    {2, import_statement<&Strings::os>},
    {2, import_statement<&Strings::sys>},
    {3, append_cwd},
    {4, import_statement<&Strings::re>},
    {5, import_statement<&Strings::traceback>},
    {6, import_openai},
    {9, class_bases},
    {9, class_metaclass},
    {9, class_namespace},
    {10, define_method<init_method, 0>},
    {15, define_method<extract_method, 1>},
    {31, define_method<refined_title_method, 2>},
    {9, class_create},
    {1, add_test_dict},
};

// ---- exec step ----------------------------------------------------------------

bool prepare(PyObject* module) {
    return set_namespaces(PyModule_GetDict(module), Ref(PyImport_ImportModule("builtins"))) &&
           PyObject_SetAttrString(module, "__builtins__", builtins_module()) == 0 && check_version() &&
           create_constants();
}

bool run_body(PyObject* module) {
    Body b;
    b.module = module;
    b.ns = PyModule_GetDict(module);
    int failed = run_steps<Body>(body, b);
    if (failed) add_traceback(init_name, failed, b.ns);
    return !failed;
}

int exec(PyObject* module) noexcept {
    if (state.module) {
        if (state.module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'factsift' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Ref::borrow(module);
    if (prepare(module) && run_body(module)) return 0;
    state.module = Ref();
    return -1;
}

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "factsift", nullptr, 0, no_functions, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace factsift

PyMODINIT_FUNC PyInit_factsift() noexcept { return PyModuleDef_Init(&factsift::definition); }
