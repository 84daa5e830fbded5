#include "summary.hpp"

#include "chat.hpp"
#include "compat.hpp"
#include "module.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

namespace factsift {
namespace {

// ---- __init__ -----------------------------------------------------------------

struct Setting {
    PyObject* const* name;
    int parameter;
    int line;
};

constexpr Setting settings[] = {{&S.base_url, 1, 11}, {&S.api_key, 2, 12}, {&S.model_id, 3, 13}};

// `self.name = value` as the interpreter's own attribute store does it: the
// type's setattro. The names are interned strs already, so what
// PyObject_SetAttr adds (type check, interning) would be wasted.
int store(PyObject* self, PyObject* name, PyObject* value) {
    setattrofunc set = Py_TYPE(self)->tp_setattro;
    return set ? set(self, name, value) : PyObject_SetAttr(self, name, value);
}

PyObject* init_body(PyObject* globals, PyObject* const* args) {
    for (const Setting& s : settings) {
        if (store(args[0], *s.name, args[s.parameter]) < 0) {
            add_traceback(init_method.traceback_name, s.line, globals);
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// ---- request texts ------------------------------------------------------------

// str(value) as it enters a request: a str subclass that str() returns is
// replaced by its plain format(). The default length's text is made once.
Ref text_of(PyObject* value) {
    if (value == C.two_hundred) return Ref::borrow(S.two_hundred_text);
    Ref text(PyObject_Str(value));
    if (text && !PyUnicode_CheckExact(text.get())) text = Ref(PyObject_Format(text.get(), S.empty));
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
        if (PyUnicode_READY(parts[i]) < 0) return {};  // a legacy str from a C extension
        if (PyUnicode_GET_LENGTH(parts[i]) > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "strings are too large to concat");
            return {};
        }
        length += PyUnicode_GET_LENGTH(parts[i]);
        maxchar = std::max<Py_UCS4>(maxchar, PyUnicode_MAX_CHAR_VALUE(parts[i]));
    }
    Ref joined(PyUnicode_New(length, maxchar));
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
    return Ref(joined ? PyNumber_Add(joined.get(), cleaned) : nullptr);
}

// Lead-in, str(length), label, str(prompt), closing stop, cleaned text.
Ref extract_text(PyObject* const* args, PyObject* cleaned) {
    Ref length = text_of(args[3]);
    Ref prompt(length ? text_of(args[2]) : Ref());
    if (!prompt) return {};
    return append_cleaned(std::array{S.lead_in, length.get(), S.label, prompt.get(), S.full_stop}, cleaned);
}

// prompt + "。" + cleaned text.
Ref title_text(PyObject* const* args, PyObject* cleaned) {
    PyObject* prompt = args[2];
    if (PyUnicode_CheckExact(prompt)) return append_cleaned(std::array{prompt, S.full_stop}, cleaned);
    Ref head(PyNumber_Add(prompt, S.full_stop));
    return Ref(head ? PyNumber_Add(head.get(), cleaned) : nullptr);
}

// ---- the working methods --------------------------------------------------------

// Source line of each step, reported by the method's traceback entry.
struct Lines {
    int pattern, clean, text, client, request, message, reply, record;
    int take, print, error;  // the handler
};

// Each use of a module global in a method's body.
struct Sites {
    GlobalSite compile{&S.re}, sub{&S.re}, open_ai{&S.OpenAI}, print{&S.traceback};
};

Sites extract_sites, title_sites;

struct Work {
    const MethodDef& def;
    PyObject* const* payload;  // the record's first key
    Lines lines;
    Ref (*request_text)(PyObject* const* args, PyObject* cleaned);
    Sites& sites;
};

constexpr Work extract_work = {
    extract_method, &S.summary, {17, 18, 19, 20, 22, 23, 25, 26, 27, 28, 29}, extract_text, extract_sites};
constexpr Work title_work = {
    refined_title_method, &S.title, {33, 34, 35, 36, 38, 39, 41, 42, 43, 44, 45}, title_text, title_sites};

Ref record(PyObject* key, PyObject* payload, PyObject* content, PyObject* status) {
    Ref r(PyDict_New());
    if (r && PyDict_SetItem(r.get(), key, payload) == 0 && PyDict_SetItem(r.get(), S.content, content) == 0 &&
        PyDict_SetItem(r.get(), S.status, status) == 0)
        return r;
    return {};
}

// Calls the method `name` of the module global that `module` resolves.
// args[0] is a free slot for the module.
Ref call_global(PyObject* globals, GlobalSite& module, PyObject* name, PyObject** args, size_t nargs) {
    Ref owner = lookup_global(globals, module);
    if (!owner) return {};
    args[0] = owner.get();
    return Ref(PyObject_VectorcallMethod(name, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The guarded block; `line` follows the step under way.
Ref attempt(const Work& w, PyObject* globals, PyObject* const* args, int& line) {
    const Lines& at = w.lines;
    line = at.pattern;
    PyObject* compile_args[] = {nullptr, S.clean_pattern};
    Ref pattern = call_global(globals, w.sites.compile, S.compile, compile_args, 2);
    if (!pattern) return {};
    line = at.clean;
    PyObject* sub_args[] = {nullptr, pattern.get(), S.empty, args[1]};
    Ref content = call_global(globals, w.sites.sub, S.sub, sub_args, 4);
    if (!content) return {};
    line = at.text;
    Ref text = w.request_text(args, content.get());
    if (!text) return {};
    line = at.client;
    Ref client = chat::new_client(globals, w.sites.open_ai, args[0]);
    if (!client) return {};
    line = at.request;
    Ref response = chat::request(client.get(), args[0], text.get(), line, at.message);
    if (!response) return {};
    line = at.reply;
    Ref reply = chat::reply_content(response.get());
    if (!reply) return {};
    line = at.record;
    return record(*w.payload, reply.get(), content.get(), S.ok);
}

// except Exception as e: traceback.print_exc(); return the error record.
Ref handle(const Work& w, PyObject* globals, int& line) {
    line = w.lines.take;
    Ref caught = compat::take_exception();
    if (!caught) return {};
    compat::HandledException::set(caught.get());
    line = w.lines.print;
    PyObject* print_args[] = {nullptr};
    if (!call_global(globals, w.sites.print, S.print_exc, print_args, 1)) return {};
    line = w.lines.error;
    return record(*w.payload, S.empty, S.empty, S.error);
}

PyObject* run(const Work& w, PyObject* globals, PyObject* const* args) {
    compat::HandledException on_entry;
    int line = 0;
    Ref result = attempt(w, globals, args, line);
    if (!result && PyErr_ExceptionMatches(PyExc_Exception)) {
        add_traceback(w.def.traceback_name, line, globals);
        result = handle(w, globals, line);
    }
    on_entry.restore();
    if (!result) add_traceback(w.def.traceback_name, line, globals);
    return result.release();
}

PyObject* extract_body(PyObject* globals, PyObject* const* args) { return run(extract_work, globals, args); }
PyObject* title_body(PyObject* globals, PyObject* const* args) { return run(title_work, globals, args); }

}  // namespace

const MethodDef init_method = {
    "__init__", "factsift.factsift.AISummary.__init__", &S.init, &S.init_qualname, 10, 3,
    {&S.self, &S.base_url, &S.api_key, &S.model_id},
    {nullptr, nullptr, nullptr, &S.empty},
    {&S.self, &S.base_url, &S.api_key, &S.model_id},
    &C.init_defaults, init_body,
};

const MethodDef extract_method = {
    "extract", "factsift.factsift.AISummary.extract", &S.extract, &S.extract_qualname, 15, 2,
    {&S.self, &S.content, &S.prompt, &S.length},
    {nullptr, nullptr, &S.empty, &C.two_hundred},
    {&S.self, &S.content, &S.prompt, &S.length, &S.pattern, &S.messages, &S.client, &S.response, &S.summary, &S.e},
    &C.method_defaults, extract_body,
};

const MethodDef refined_title_method = {
    "refined_title", "factsift.factsift.AISummary.refined_title", &S.refined_title, &S.refined_title_qualname, 31, 2,
    {&S.self, &S.content, &S.prompt, &S.length},
    {nullptr, nullptr, &S.empty, &C.two_hundred},
    {&S.self, &S.content, &S.prompt, &S.length, &S.pattern, &S.messages, &S.client, &S.response, &S.title, &S.e},
    &C.method_defaults, title_body,
};

}  // namespace factsift
