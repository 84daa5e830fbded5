#include "summary.hpp"

#include "chat.hpp"
#include "compat.hpp"
#include "globals.hpp"
#include "state.hpp"
#include "traceback.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

namespace factsift {
namespace {

// ---- __init__ -----------------------------------------------------------------

struct Setting {
    const Ref* name;
    int parameter;
    int line;
};

constexpr Setting settings[] = {{&strings.base_url, 1, 11}, {&strings.api_key, 2, 12}, {&strings.model_id, 3, 13}};

// `self.name = value` as the interpreter's own attribute store does it: the
// type's setattro. The names are interned strs already, so what
// PyObject_SetAttr adds (type check, interning) would be wasted.
int store(PyObject* self, PyObject* name, PyObject* value) {
    setattrofunc set = Py_TYPE(self)->tp_setattro;
    return set ? set(self, name, value) : PyObject_SetAttr(self, name, value);
}

PyObject* init_body(PyObject* globals, PyObject* const* args) noexcept {
    for (const Setting& s : settings) {
        if (store(args[0], s.name->get(), args[s.parameter]) < 0) {
            add_traceback(init_method.traceback_name, s.line, globals);
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// ---- construction ---------------------------------------------------------------

// The calls that the fast path below leaves to the generic class call, and
// the arguments of either as a tuple and a dictionary.
struct PackedArgs {
    Ref positional, keywords;
};

bool pack(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PackedArgs& out) {
    out.positional = Ref::consuming(PyTuple_New(nargs));
    if (!out.positional) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(out.positional.get(), i, Py_NewRef(args[i]));
    if (!kwnames || !PyTuple_GET_SIZE(kwnames)) return true;
    out.keywords = Ref::consuming(PyDict_New());
    if (!out.keywords) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
        if (PyDict_SetItem(out.keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return false;
    return true;
}

PyObject* generic_construct(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PackedArgs packed;
    if (!pack(args, nargs, kwnames, packed)) return nullptr;
    return Py_TYPE(type)->tp_call(type, packed.positional.get(), packed.keywords.get());
}

// What the generic class call does once object.__new__ has made `self`:
// the type's __init__ slot on the arguments as a tuple and a dictionary.
PyObject* generic_init(Ref self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    initproc init = Py_TYPE(self.get())->tp_init;
    if (!init) return self.release();
    PackedArgs packed;
    if (!pack(args, nargs, kwnames, packed) ||
        init(self.get(), packed.positional.get(), packed.keywords.get()) < 0)
        return nullptr;
    return self.release();
}

// The class's own __init__ while the class is as the module made it (its
// metaclass, object.__new__, not abstract, __init__ the module's function),
// else null, with an exception set if the lookup failed. Borrowed from the
// class. While the class keeps the version it had at the last lookup, its
// __init__ is the one found then.
PyObject* own_init(PyTypeObject* type) {
    if (!Py_IS_TYPE(type, &PyType_Type) || type->tp_new != PyBaseObject_Type.tp_new ||
        PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT))
        return nullptr;
    InitCache& cache = process.construction;
    const unsigned int version = compat::type_version(type);
    if (version && cache.type == type && cache.version == version) return cache.init;
    PyObject* init = PyDict_GetItemWithError(type->tp_dict, strings.init.get());
    if (!init || !is_function_of(init, init_method)) return nullptr;
    cache = {type, compat::assign_type_version(type, strings.init.get()), init};
    return init;
}

// AISummary(...) as the generic class call would run it while own_init finds
// the module's __init__: object.__new__ allocates, __init__ runs on the
// arguments as they are. The generic call would first pack them into a tuple
// and a dictionary and look __init__ up again.
//
// The call holds its own reference to __init__: binding the arguments can
// run Python code (a keyword's __eq__) that deletes it from the class. And
// the allocation can run the collector, whose finalisers can change the
// class: __init__ is then looked up again, as the generic call would.
PyObject* make_instance(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    // Room for self in front of the arguments: the caller's spare slot, or a
    // copy when there is none and the call is small.
    constexpr Py_ssize_t small = parameter_count + 4;
    const bool spare = nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET;
    Ref init = Ref::owning(own_init(type));
    if (!init || (!spare && nargs + nkw >= small))
        return PyErr_Occurred() ? nullptr : generic_construct(cls, args, nargs, kwnames);
    Ref self = Ref::consuming(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    if (own_init(type) != init.get())
        return PyErr_Occurred() ? nullptr : generic_init(std::move(self), args, nargs, kwnames);
    PyObject* copy[small];
    PyObject** with_self = copy;
    PyObject* saved = nullptr;
    if (spare) {
        with_self = const_cast<PyObject**>(args) - 1;
        saved = with_self[0];
    } else {
        std::copy_n(args, nargs + nkw, copy + 1);
    }
    with_self[0] = self.get();
    Ref result = Ref::consuming(call_function(init.get(), with_self, nargs + 1, kwnames));
    if (spare) with_self[0] = saved;
    return result ? self.release() : nullptr;
}

// A class call counts against the recursion limit as a Python class's does.
PyObject* construct(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    if (!compat::enter_class_call()) return nullptr;
    PyObject* made = make_instance(cls, args, nargsf, kwnames);
    compat::leave_class_call();
    return made;
}

// ---- request texts ------------------------------------------------------------

// str(value) as it enters a request: a str subclass that str() returns is
// replaced by its plain format(). The default length's text is made once.
Ref text_of(PyObject* value) {
    if (value == constants.two_hundred.get()) return Ref::owning(strings.two_hundred_text.get());
    Ref text = Ref::consuming(PyObject_Str(value));
    if (text && !PyUnicode_CheckExact(text.get()))
        text = Ref::consuming(PyObject_Format(text.get(), strings.empty.get()));
    return text;
}

// Copies `s` to `out`, a buffer of the joined text's kind, which is never
// narrower than the kind of `s`.
template <typename Char>
Char* copy_text(Char* out, PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: return std::copy_n(PyUnicode_1BYTE_DATA(s), n, out);
    case PyUnicode_2BYTE_KIND: return std::copy_n(PyUnicode_2BYTE_DATA(s), n, out);
    default: return std::copy_n(PyUnicode_4BYTE_DATA(s), n, out);
    }
}

template <typename Char>
void copy_texts(PyObject* joined, PyObject* const* parts, std::size_t count) {
    auto* out = static_cast<Char*>(PyUnicode_DATA(joined));
    for (std::size_t i = 0; i < count; ++i) out = copy_text(out, parts[i]);
}

// Concatenates exact strs in one allocation.
Ref join(PyObject* const* parts, std::size_t count) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_READY(parts[i]) < 0) return {};
        if (PyUnicode_GET_LENGTH(parts[i]) > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "strings are too large to concat");
            return {};
        }
        length += PyUnicode_GET_LENGTH(parts[i]);
        maxchar = std::max<Py_UCS4>(maxchar, PyUnicode_MAX_CHAR_VALUE(parts[i]));
    }
    Ref joined = Ref::consuming(PyUnicode_New(length, maxchar));
    if (!joined) return {};
    switch (PyUnicode_KIND(joined.get())) {
    case PyUnicode_1BYTE_KIND: copy_texts<Py_UCS1>(joined.get(), parts, count); break;
    case PyUnicode_2BYTE_KIND: copy_texts<Py_UCS2>(joined.get(), parts, count); break;
    default: copy_texts<Py_UCS4>(joined.get(), parts, count);
    }
    return joined;
}

// The joined `head` + `cleaned` by Python addition; one allocation when the
// cleaned text is a str.
template <std::size_t N>
Ref append_cleaned(const std::array<PyObject*, N>& head, PyObject* cleaned) {
    if (PyUnicode_CheckExact(cleaned)) {
        std::array<PyObject*, N + 1> all;
        std::copy(head.begin(), head.end(), all.begin());
        all[N] = cleaned;
        return join(all.data(), all.size());
    }
    Ref joined = join(head.data(), N);
    return Ref::consuming(joined ? PyNumber_Add(joined.get(), cleaned) : nullptr);
}

// Lead-in, str(length), label, str(prompt), closing stop, cleaned text.
Ref extract_text(PyObject* const* args, PyObject* cleaned) {
    Ref length = text_of(args[3]);
    Ref prompt = length ? text_of(args[2]) : Ref();
    if (!prompt) return {};
    return append_cleaned(
        std::array{strings.lead_in.get(), length.get(), strings.label.get(), prompt.get(), strings.full_stop.get()},
        cleaned);
}

// prompt + "。" + cleaned text.
Ref title_text(PyObject* const* args, PyObject* cleaned) {
    PyObject* prompt = args[2];
    if (PyUnicode_CheckExact(prompt)) return append_cleaned(std::array{prompt, strings.full_stop.get()}, cleaned);
    Ref head = Ref::consuming(PyNumber_Add(prompt, strings.full_stop.get()));
    return Ref::consuming(head ? PyNumber_Add(head.get(), cleaned) : nullptr);
}

// ---- the working methods --------------------------------------------------------

struct Work;

// The locals of one call of a working method.
struct Call {
    Call(const Work& w, PyObject* g, PyObject* const* a) : work(w), globals(g), args(a) {}

    const Work& work;
    PyObject* globals;
    PyObject* const* args;  // self, content, prompt, length
    Ref pattern, content, messages, client, create, model, message_list, response, reply;
    Ref result;
};

struct Work {
    const MethodDef& def;
    const Ref* payload;  // the record's first key
    Ref (*request_text)(PyObject* const* args, PyObject* cleaned);
    MethodSites& sites;
    std::span<const Step<Call>> body;     // the guarded block
    std::span<const Step<Call>> handler;  // except Exception
};

Ref record(PyObject* key, PyObject* payload, PyObject* content, PyObject* status) {
    Ref r = Ref::consuming(PyDict_New());
    if (r && PyDict_SetItem(r.get(), key, payload) == 0 &&
        PyDict_SetItem(r.get(), strings.content.get(), content) == 0 &&
        PyDict_SetItem(r.get(), strings.status.get(), status) == 0)
        return r;
    return {};
}

// Calls the method `name` of the module global that `site` resolves.
// args[0] is a free slot for the module.
Ref call_global(PyObject* globals, GlobalSite& site, PyObject* name, PyObject** args, size_t nargs) {
    Ref owner = lookup_global(globals, site);
    if (!owner) return {};
    args[0] = owner.get();
    return Ref::consuming(PyObject_VectorcallMethod(name, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Stores a step's result in a local: true when there is one.
bool keep(Ref& local, Ref value) {
    local = std::move(value);
    return static_cast<bool>(local);
}

// pattern = re.compile("[^\w\s]")
bool compile_pattern(Call& c) {
    PyObject* args[] = {nullptr, strings.clean_pattern.get()};
    return keep(c.pattern, call_global(c.globals, c.work.sites.compile, strings.compile.get(), args, 2));
}

// content = re.sub(pattern, "", content)
bool clean(Call& c) {
    PyObject* args[] = {nullptr, c.pattern.get(), strings.empty.get(), c.args[1]};
    return keep(c.content, call_global(c.globals, c.work.sites.sub, strings.sub.get(), args, 4));
}

bool build_text(Call& c) { return keep(c.messages, c.work.request_text(c.args, c.content.get())); }

bool open_client(Call& c) { return keep(c.client, chat::new_client(c.globals, c.work.sites.open_ai, c.args[0])); }

// client.chat.completions.create and self.model_id, read before the message is built.
bool find_create(Call& c) {
    return keep(c.create, chat::create_of(c.client.get())) &&
           keep(c.model, Ref::consuming(PyObject_GetAttr(c.args[0], strings.model_id.get())));
}

bool build_message(Call& c) { return keep(c.message_list, chat::user_message(c.messages.get())); }

bool send_request(Call& c) {
    return keep(c.response, chat::send(c.create.get(), c.model.get(), c.message_list.get()));
}

bool read_reply(Call& c) { return keep(c.reply, chat::reply_content(c.response.get())); }

bool ok_record(Call& c) {
    return keep(c.result, record(c.work.payload->get(), c.reply.get(), c.content.get(), strings.ok.get()));
}

// except Exception as e: the caught exception becomes the handled one.
bool take_exception(Call&) {
    Ref caught = Ref::consuming(PyErr_GetRaisedException());
    if (caught) PyErr_SetHandledException(caught.get());
    return static_cast<bool>(caught);
}

// traceback.print_exc()
bool print_exception(Call& c) {
    PyObject* args[] = {nullptr};
    return static_cast<bool>(call_global(c.globals, c.work.sites.print, strings.print_exc.get(), args, 1));
}

bool error_record(Call& c) {
    return keep(c.result, record(c.work.payload->get(), strings.empty.get(), strings.empty.get(), strings.error.get()));
}

constexpr Step<Call> extract_steps[] = {
    {17, compile_pattern}, {18, clean},         {19, build_text}, {20, open_client}, {22, find_create},
    {23, build_message},   {22, send_request},  {25, read_reply}, {26, ok_record},
};
constexpr Step<Call> extract_handler[] = {{27, take_exception}, {28, print_exception}, {29, error_record}};

constexpr Step<Call> title_steps[] = {
    {33, compile_pattern}, {34, clean},         {35, build_text}, {36, open_client}, {38, find_create},
    {39, build_message},   {38, send_request},  {41, read_reply}, {42, ok_record},
};
constexpr Step<Call> title_handler[] = {{43, take_exception}, {44, print_exception}, {45, error_record}};

constexpr Work extract_work = {extract_method,        &strings.summary, extract_text,
                               process.extract_sites, extract_steps,    extract_handler};
constexpr Work title_work = {refined_title_method, &strings.title, title_text,
                             process.title_sites,  title_steps,    title_handler};

// The guarded block, its handler, and the handled exception put back as it
// was on entry, whichever way the call ends.
PyObject* run(const Work& w, PyObject* globals, PyObject* const* args) {
    Ref on_entry = Ref::consuming(PyErr_GetHandledException());
    Call call{w, globals, args};
    int failed = run_steps(w.body, call);
    if (failed && PyErr_ExceptionMatches(PyExc_Exception)) {
        add_traceback(w.def.traceback_name, failed, globals);
        failed = run_steps(w.handler, call);
    }
    PyErr_SetHandledException(on_entry.get());
    if (failed) add_traceback(w.def.traceback_name, failed, globals);
    return call.result.release();
}

PyObject* extract_body(PyObject* globals, PyObject* const* args) noexcept { return run(extract_work, globals, args); }
PyObject* title_body(PyObject* globals, PyObject* const* args) noexcept { return run(title_work, globals, args); }

}  // namespace

// Subclasses do not inherit a type's vectorcall: they keep the generic call.
void speed_up_construction(PyObject* cls) {
    if (Py_IS_TYPE(cls, &PyType_Type)) reinterpret_cast<PyTypeObject*>(cls)->tp_vectorcall = construct;
}

const MethodDef init_method = {
    "__init__", "factsift.factsift.AISummary.__init__", &strings.init, &strings.init_qualname, 10, 3,
    {&strings.self, &strings.base_url, &strings.api_key, &strings.model_id},
    {nullptr, nullptr, nullptr, &strings.empty},
    {&strings.self, &strings.base_url, &strings.api_key, &strings.model_id},
    &constants.init_defaults, init_body,
};

const MethodDef extract_method = {
    "extract",
    "factsift.factsift.AISummary.extract",
    &strings.extract,
    &strings.extract_qualname,
    15,
    2,
    {&strings.self, &strings.content, &strings.prompt, &strings.length},
    {nullptr, nullptr, &strings.empty, &constants.two_hundred},
    {&strings.self, &strings.content, &strings.prompt, &strings.length, &strings.pattern, &strings.messages,
     &strings.client, &strings.response, &strings.summary, &strings.e},
    &constants.method_defaults,
    extract_body,
};

const MethodDef refined_title_method = {
    "refined_title",
    "factsift.factsift.AISummary.refined_title",
    &strings.refined_title,
    &strings.refined_title_qualname,
    31,
    2,
    {&strings.self, &strings.content, &strings.prompt, &strings.length},
    {nullptr, nullptr, &strings.empty, &constants.two_hundred},
    {&strings.self, &strings.content, &strings.prompt, &strings.length, &strings.pattern, &strings.messages,
     &strings.client, &strings.response, &strings.title, &strings.e},
    &constants.method_defaults,
    title_body,
};

}  // namespace factsift
