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

PyObject* init_body(PyObject* globals, PyObject* const* args) {
    for (const Setting& s : settings) {
        if (PyObject_SetAttr(args[0], *s.name, args[s.parameter]) < 0) {
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

// Concatenates strings in one allocation.
Ref join(PyObject* const* parts, std::size_t count) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (std::size_t i = 0; i < count; ++i) {
        length += PyUnicode_GET_LENGTH(parts[i]);
        maxchar = std::max<Py_UCS4>(maxchar, PyUnicode_MAX_CHAR_VALUE(parts[i]));
    }
    Ref joined(PyUnicode_New(length, maxchar));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; joined && i < count; ++i) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(parts[i]);
        if (PyUnicode_CopyCharacters(joined.get(), at, parts[i], 0, n) < 0) return {};
        at += n;
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

struct Work {
    const MethodDef& def;
    PyObject* const* payload;  // the record's first key
    Lines lines;
    Ref (*request_text)(PyObject* const* args, PyObject* cleaned);
};

constexpr Work extract_work = {
    extract_method, &S.summary, {17, 18, 19, 20, 22, 23, 25, 26, 27, 28, 29}, extract_text};
constexpr Work title_work = {
    refined_title_method, &S.title, {33, 34, 35, 36, 38, 39, 41, 42, 43, 44, 45}, title_text};

Ref record(PyObject* key, PyObject* payload, PyObject* content, PyObject* status) {
    Ref r(PyDict_New());
    if (r && PyDict_SetItem(r.get(), key, payload) == 0 && PyDict_SetItem(r.get(), S.content, content) == 0 &&
        PyDict_SetItem(r.get(), S.status, status) == 0)
        return r;
    return {};
}

// Calls the method `name` of a module global, resolved afresh. args[0] is a
// free slot for the module.
Ref call_global(PyObject* globals, PyObject* module, PyObject* name, PyObject** args, size_t nargs) {
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
    Ref pattern = call_global(globals, S.re, S.compile, compile_args, 2);
    if (!pattern) return {};
    line = at.clean;
    PyObject* sub_args[] = {nullptr, pattern.get(), S.empty, args[1]};
    Ref content = call_global(globals, S.re, S.sub, sub_args, 4);
    if (!content) return {};
    line = at.text;
    Ref text = w.request_text(args, content.get());
    if (!text) return {};
    line = at.client;
    Ref client = chat::new_client(globals, args[0]);
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
    if (!call_global(globals, S.traceback, S.print_exc, print_args, 1)) return {};
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
