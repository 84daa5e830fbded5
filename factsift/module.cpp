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

// PyObject_GetOptionalAttr into an owner: 1 found, 0 missing, -1 error.
int optional_attr(PyObject* obj, PyObject* name, Ref& out) {
    PyObject* value = nullptr;
    int found = PyObject_GetOptionalAttr(obj, name, &value);
    out = Ref::consuming(value);
    return found;
}

bool check_interpreter() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (process.interpreter_id == -1) {
        process.interpreter_id = id;
        return id != -1;
    }
    if (id == process.interpreter_id) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

bool copy_spec_attrs(PyObject* spec, PyObject* dict) {
    for (const SpecCopy& c : spec_copies) {
        Ref name = Ref::consuming(PyUnicode_FromString(c.spec_attr));
        Ref value;
        int found = name ? optional_attr(spec, name.get(), value) : -1;
        if (found < 0) return false;
        if (!found || (value.get() == Py_None && !c.store_none)) continue;
        if (PyDict_SetItemString(dict, c.module_key, value.get()) < 0) return false;
    }
    return true;
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
    if (!check_interpreter()) return nullptr;
    if (process.module) return Py_NewRef(process.module.get());
    Ref name = Ref::consuming(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::consuming(PyModule_NewObject(name.get()));
    if (!module || !copy_spec_attrs(spec, PyModule_GetDict(module.get()))) return nullptr;
    return module.release();
}

// ---- names and constants ----------------------------------------------------

struct StringSpec {
    Ref Strings::*field;
    const char* text;
    bool interned;
};

constexpr StringSpec string_specs[] = {
#define FACTSIFT_SPEC(id, text, interned) {&Strings::id, text, interned},
    FACTSIFT_STRINGS(FACTSIFT_SPEC)
#undef FACTSIFT_SPEC
};

// The texts and constants are made by the first run of the exec step and
// kept by the later ones (after a failed import): a method of a class from
// a failed run may be running meanwhile, on arguments it took from them.
bool create_strings() {
    for (const StringSpec& s : string_specs) {
        Ref& slot = strings.*s.field;
        if (slot) continue;
        slot = Ref::consuming(s.interned ? PyUnicode_InternFromString(s.text) : PyUnicode_FromString(s.text));
        if (!slot || PyObject_Hash(slot.get()) == -1) return false;
    }
    return true;
}

template <typename... Items>
Ref tuple_of(Items... items) {
    return Ref::consuming(PyTuple_Pack(sizeof...(items), items...));
}

// Fills `slot` when it is empty: true when it holds an object.
bool fill(Ref& slot, Ref (*make)()) {
    if (!slot) slot = make();
    return static_cast<bool>(slot);
}

bool create_constants() {
    return fill(constants.empty_tuple, [] { return Ref::consuming(PyTuple_New(0)); }) &&
           fill(constants.function_type, function_type_new) && create_strings() &&
           fill(constants.two_hundred, [] { return Ref::consuming(PyLong_FromLong(200)); }) &&
           fill(constants.zero, [] { return Ref::consuming(PyLong_FromLong(0)); }) &&
           fill(constants.client_kwnames, [] { return tuple_of(strings.base_url.get(), strings.api_key.get()); }) &&
           fill(constants.request_kwnames,
                [] { return tuple_of(strings.model.get(), strings.messages.get(), strings.stream.get()); }) &&
           fill(constants.init_defaults, [] { return tuple_of(strings.empty.get()); }) &&
           fill(constants.method_defaults,
                [] { return tuple_of(strings.empty.get(), constants.two_hundred.get()); });
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
    PyObject* module = nullptr;  // borrowed: process.module owns it while the body runs
    PyObject* ns = nullptr;      // the module's namespace, which the module keeps
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
    int present = PyDict_Contains(modules, strings.module_name.get());
    return present > 0 || (present == 0 && PyDict_SetItem(modules, strings.module_name.get(), b.module) == 0);
}

bool find_object(Body& b) {
    PyObject* object = PyDict_GetItemWithError(PyModule_GetDict(process.builtins.get()), strings.object.get());
    if (!object && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", strings.object.get());
    b.object = Ref::owning(object);
    return object != nullptr;
}

Ref code_of(const MethodDef& def) {
    auto count = std::count_if(def.locals.begin(), def.locals.end(), [](auto local) { return local; });
    Ref varnames = Ref::consuming(PyTuple_New(count));
    if (!varnames) return {};
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(def.locals[i]->get()));
    return compat::new_code(varnames.get(), def.name, def.qualname->get(), def.def_line);
}

bool build_constants(Body& b) {
    constants.object_bases = tuple_of(b.object.get());
    return constants.object_bases && (b.code[0] = code_of(init_method)) && (b.code[1] = code_of(extract_method)) &&
           (b.code[2] = code_of(refined_title_method));
}

// A module that sys.modules holds and that is not still initialising.
Ref imported_module(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
    if (!found) {
        PyErr_Clear();
        return {};
    }
    Ref module = Ref::owning(found);
    Ref spec = Ref::consuming(PyObject_GetAttr(module.get(), strings.dunder_spec.get()));
    Ref initializing = Ref::consuming(spec ? PyObject_GetAttr(spec.get(), strings.initializing.get()) : nullptr);
    int busy = initializing ? PyObject_IsTrue(initializing.get()) : 0;
    PyErr_Clear();
    return busy > 0 ? Ref() : std::move(module);
}

Ref import(PyObject* ns, PyObject* name, PyObject* fromlist) {
    Ref locals = Ref::consuming(PyDict_New());
    if (!locals) return {};
    return Ref::consuming(PyImport_ImportModuleLevelObject(name, ns, locals.get(), fromlist, 0));
}

template <Ref Strings::*name>
bool import_statement(Body& b) {
    PyObject* module_name = (strings.*name).get();
    Ref module = imported_module(module_name);
    if (!module) module = import(b.ns, module_name, nullptr);
    return module && PyDict_SetItem(b.ns, module_name, module.get()) == 0;
}

// sys.path.append(os.getcwd())
bool append_cwd(Body& b) {
    Ref sys = lookup_global(b.ns, strings.sys.get());
    Ref path = Ref::consuming(sys ? PyObject_GetAttr(sys.get(), strings.path.get()) : nullptr);
    Ref os = path ? lookup_global(b.ns, strings.os.get()) : Ref();
    Ref getcwd = Ref::consuming(os ? PyObject_GetAttr(os.get(), strings.getcwd.get()) : nullptr);
    Ref cwd = Ref::consuming(getcwd ? PyObject_CallNoArgs(getcwd.get()) : nullptr);
    if (!cwd) return false;
    if (PyList_CheckExact(path.get())) return PyList_Append(path.get(), cwd.get()) == 0;
    Ref append = Ref::consuming(PyObject_GetAttr(path.get(), strings.append.get()));
    return append && Ref::consuming(PyObject_CallOneArg(append.get(), cwd.get()));
}

// from openai import OpenAI
bool import_openai(Body& b) {
    Ref fromlist = Ref::consuming(PyList_New(1));
    if (!fromlist) return false;
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(strings.OpenAI.get()));
    Ref module = import(b.ns, strings.openai.get(), fromlist.get());
    if (!module) return false;
    Ref value = Ref::consuming(PyObject_GetAttr(module.get(), strings.OpenAI.get()));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref name = Ref::consuming(PyModule_GetNameObject(module.get()));
        Ref dotted = Ref::consuming(
            name ? PyUnicode_FromFormat("%U%U%U", name.get(), strings.dot.get(), strings.OpenAI.get()) : nullptr);
        PyObject* entry = dotted ? PyDict_GetItemWithError(PyImport_GetModuleDict(), dotted.get()) : nullptr;
        value = Ref::owning(entry);
    }
    if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", strings.OpenAI.get());
        return false;
    }
    return PyDict_SetItem(b.ns, strings.OpenAI.get(), value.get()) == 0;
}

// class AISummary(object): the bases after __mro_entries__.
bool class_bases(Body& b) {
    // Owned: the lookups and __mro_entries__ below run Python code.
    Ref given = Ref::owning(constants.object_bases.get());
    PyObject* original = given.get();
    Ref resolved = Ref::consuming(PyList_New(0));
    if (!resolved) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(original); ++i) {
        PyObject* base = PyTuple_GET_ITEM(original, i);  // the owned tuple keeps it
        Ref method;
        int found = PyType_Check(base) ? 0 : optional_attr(base, strings.dunder_mro_entries.get(), method);
        if (found < 0) return false;
        if (!found) {
            if (PyList_Append(resolved.get(), base) < 0) return false;
            continue;
        }
        Ref entries = Ref::consuming(PyObject_CallOneArg(method.get(), original));
        if (!entries) return false;
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return false;
        }
        b.bases_replaced = true;
        if (PyList_SetSlice(resolved.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, entries.get()) < 0) return false;
    }
    b.bases = b.bases_replaced ? Ref::consuming(PyList_AsTuple(resolved.get())) : Ref::owning(original);
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
    b.meta = Ref::owning(reinterpret_cast<PyObject*>(winner));
    return true;
}

bool class_namespace(Body& b) {
    Ref prepare;
    int found = optional_attr(b.meta.get(), strings.dunder_prepare.get(), prepare);
    if (found < 0) return false;
    PyObject* args[] = {strings.AISummary.get(), b.bases.get()};
    b.class_ns = Ref::consuming(found ? PyObject_Vectorcall(prepare.get(), args, 2, nullptr) : PyDict_New());
    return b.class_ns &&
           PyObject_SetItem(b.class_ns.get(), strings.dunder_module.get(), strings.module_name.get()) == 0 &&
           PyObject_SetItem(b.class_ns.get(), strings.dunder_qualname.get(), strings.AISummary.get()) == 0 &&
           (!b.bases_replaced ||
            PyObject_SetItem(b.class_ns.get(), strings.dunder_orig_bases.get(), constants.object_bases.get()) == 0);
}

template <const MethodDef& def, std::size_t code>
bool define_method(Body& b) {
    Ref function = function_new(def, b.code[code].get(), b.ns);
    return function && PyObject_SetItem(b.class_ns.get(), def.name_str->get(), function.get()) == 0;
}

bool class_create(Body& b) {
    PyObject* args[] = {strings.AISummary.get(), b.bases.get(), b.class_ns.get()};
    b.cls = Ref::consuming(PyObject_Vectorcall(b.meta.get(), args, 3, nullptr));
    if (!b.cls) return false;
    speed_up_construction(b.cls.get());
    return PyDict_SetItem(b.ns, strings.AISummary.get(), b.cls.get()) == 0;
}

bool add_test_dict(Body& b) {
    Ref test = Ref::consuming(PyDict_New());
    return test && PyDict_SetItem(b.ns, strings.dunder_test.get(), test.get()) == 0;
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
    return set_namespaces(PyModule_GetDict(module), Ref::consuming(PyImport_ImportModule("builtins"))) &&
           PyObject_SetAttrString(module, "__builtins__", process.builtins.get()) == 0 && check_version() &&
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
    if (process.module) {
        if (process.module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'factsift' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    process.module = Ref::owning(module);
    if (prepare(module) && run_body(module)) return 0;
    process.module = Ref();
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
