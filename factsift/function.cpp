#include "function.hpp"

#include "compat.hpp"
#include "state.hpp"
#include "traceback.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace factsift {
namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    PyObject* code;
    PyObject* globals;
    PyObject* defaults;  // what __defaults__ reports; calls never read it
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

// ---- argument binding -------------------------------------------------------

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", written
// by hand: a printf-style formatter would cost more than all the rest of a
// failed call.
bool count_error(const MethodDef& def, const char* word, Py_ssize_t number, Py_ssize_t given) {
    char text[300];
    char* at = text;
    char* const end = text + sizeof text;
    auto put = [&](std::string_view piece) {
        piece = piece.substr(0, end - at);
        at = std::copy(piece.begin(), piece.end(), at);
    };
    auto put_number = [&](Py_ssize_t n) { at = std::to_chars(at, end, n).ptr; };
    put(std::string_view(def.name).substr(0, 200));
    put("() takes ");
    put(word);
    put(" ");
    put_number(number);
    put(" positional arguments (");
    put_number(given);
    put(" given)");
    Ref message = Ref::consuming(PyUnicode_DecodeASCII(text, at - text, nullptr));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
}

// Exact strings compare by length, cached hash and characters; anything
// else by Python's ==. Returns 1, 0, or -1 with an exception set.
int names_equal(PyObject* keyword, PyObject* name) {
    if (PyUnicode_CheckExact(keyword) && PyUnicode_CheckExact(name)) {
        if (PyUnicode_READY(keyword) < 0) return -1;
        Py_ssize_t length = PyUnicode_GET_LENGTH(keyword);
        if (length != PyUnicode_GET_LENGTH(name)) return 0;
        Py_hash_t a = PyUnstable_Unicode_GET_CACHED_HASH(keyword), b = PyUnstable_Unicode_GET_CACHED_HASH(name);
        if (a != -1 && b != -1 && a != b) return 0;
        int kind = PyUnicode_KIND(keyword);
        return kind == static_cast<int>(PyUnicode_KIND(name)) &&
               std::memcmp(PyUnicode_DATA(keyword), PyUnicode_DATA(name), length * kind) == 0;
    }
    Ref result = Ref::consuming(PyObject_RichCompare(keyword, name, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// Where a search for a name ended: at an index, nowhere, or in an exception
// (a comparison raised, or a legacy str could not be readied).
struct Match {
    enum Outcome { found, missing, failed } outcome;
    Py_ssize_t index = -1;

    static Match at(Py_ssize_t i) { return {found, i}; }
    // names_equal's result for the candidate at `i`.
    static Match equal_at(int equal, Py_ssize_t i) { return equal < 0 ? Match{failed} : at(i); }
};

// The keyword that names `name`: identity first, then equality, in call order.
Match find_keyword(PyObject* kwnames, PyObject* name) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) == name) return Match::at(i);
    for (Py_ssize_t i = 0; i < count; ++i) {
        int equal = names_equal(PyTuple_GET_ITEM(kwnames, i), name);
        if (equal) return Match::equal_at(equal, i);
    }
    return {Match::missing};
}

// The parameter among positions [from, to) that `keyword`, a str, names.
Match match_parameter(const MethodDef& def, PyObject* keyword, int from, int to) {
    if (PyUnicode_READY(keyword) < 0) return {Match::failed};
    for (int p = from; p < to; ++p) {
        PyObject* name = def.params[p]->get();
        if (keyword == name) return Match::at(p);
        if (PyUnicode_GET_LENGTH(keyword) != PyUnicode_GET_LENGTH(name)) continue;
        int equal = names_equal(keyword, name);
        if (equal) return Match::equal_at(equal, p);
    }
    return {Match::missing};
}

// Runs over every keyword once the required parameters are settled: binds
// what it can, raises at the first keyword that binds nothing.
bool scan_keywords(const MethodDef& def, PyObject* kwnames, PyObject* const* values, int n,
                   PyObject** bound) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        const auto open = def.params.begin() + n;
        auto same = std::find_if(open, def.params.end(), [&](auto p) { return p->get() == keyword; });
        Match match = same != def.params.end() ? Match::at(same - def.params.begin()) : Match{Match::missing};
        if (match.outcome == Match::missing) {
            if (!PyUnicode_Check(keyword)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
                return false;
            }
            match = match_parameter(def, keyword, n, parameter_count);
        }
        if (match.outcome == Match::failed) return false;
        if (match.outcome == Match::found) {
            bound[match.index] = values[i];
            continue;
        }
        Match taken = match_parameter(def, keyword, 0, n);
        if (taken.outcome == Match::failed) return false;
        PyErr_Format(PyExc_TypeError,
                     taken.outcome == Match::found ? "%s() got multiple values for keyword argument '%U'"
                                                   : "%s() got an unexpected keyword argument '%U'",
                     def.name, keyword);
        return false;
    }
    return true;
}

bool bind(const MethodDef& def, PyObject* const* args, Py_ssize_t n, PyObject* kwnames,
          PyObject** bound) {
    const int required = def.required;
    if (!kwnames) {
        if (n < required) return count_error(def, "at least", required, n);
        if (n > parameter_count) return count_error(def, "at most", parameter_count, n);
    } else if (n > parameter_count) {
        return count_error(def, "at most", parameter_count, n);
    }
    for (int p = 0; p < parameter_count; ++p)
        bound[p] = p < n ? args[p] : def.defaults[p] ? def.defaults[p]->get() : nullptr;
    if (!kwnames) return true;

    PyObject* const* values = args + n;
    Py_ssize_t left = PyTuple_GET_SIZE(kwnames);
    for (int p = static_cast<int>(n); p < parameter_count; ++p) {
        if (p >= required && left == 0) break;
        Match keyword = find_keyword(kwnames, def.params[p]->get());
        if (keyword.outcome == Match::failed) return false;
        if (keyword.outcome == Match::found) {
            bound[p] = values[keyword.index];
            --left;
        } else if (p < required) {
            return count_error(def, "at least", required, p);
        }
    }
    return left == 0 || scan_keywords(def, kwnames, values, static_cast<int>(n), bound);
}

// A call counts against the recursion limit as a Python function's does: a
// method that ends up calling itself (through a replaced global, say) meets
// RecursionError, not the end of the C stack. The caller owns `self`, and so
// its globals, for the whole call.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Function* f = as_function(self);
    const MethodDef& def = *f->def;
    PyObject* bound[parameter_count];
    PyThreadState* thread = nullptr;
    if (!bind(def, args, PyVectorcall_NARGS(nargsf), kwnames, bound) || !(thread = compat::enter_python_call())) {
        add_traceback(def.traceback_name, def.def_line, f->globals);
        return nullptr;
    }
    PyObject* result = def.body(f->globals, bound);
    compat::leave_python_call(thread);
    return result;
}

// ---- the type ---------------------------------------------------------------

PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->def->qualname->get(), self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

// The code object and globals stay until deallocation, so a function that the
// collector has cleared can still be called safely: a cycle through the
// globals is broken by the dictionary's own clear.
int function_clear(PyObject* self) noexcept {
    Function* f = as_function(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    Function* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_DECREF(f->code);
    Py_DECREF(f->globals);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->def->name_str->get()); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->def->qualname->get()); }
PyObject* get_module(PyObject*, void*) noexcept { return Py_NewRef(strings.module_name.get()); }
PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->code); }
PyObject* get_globals(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->globals); }

PyObject* get_defaults(PyObject* self, void*) noexcept {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}

int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    Function* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}

PyObject* function_reduce(PyObject* self, PyObject*) noexcept { return get_qualname(self, nullptr); }

PyGetSetDef function_getsets[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getsets},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "factsift.factsift.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

Ref function_type_new() { return Ref::consuming(PyType_FromSpec(&function_spec)); }

PyObject* call_function(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return function_vectorcall(function, args, nargsf, kwnames);
}

bool is_function_of(PyObject* obj, const MethodDef& def) {
    return Py_IS_TYPE(obj, reinterpret_cast<PyTypeObject*>(constants.function_type.get())) &&
           as_function(obj)->def == &def;
}

Ref function_new(const MethodDef& def, PyObject* code, PyObject* globals) {
    auto* type = reinterpret_cast<PyTypeObject*>(constants.function_type.get());
    Function* f = PyObject_GC_New(Function, type);
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->code = Py_NewRef(code);
    f->globals = Py_NewRef(globals);
    f->defaults = Py_NewRef(def.reported_defaults->get());
    f->annotations = nullptr;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::consuming(reinterpret_cast<PyObject*>(f));
}

}  // namespace factsift
