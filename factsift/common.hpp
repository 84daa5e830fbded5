// Shared helpers: the owned-reference type and the tables of names, texts
// and constants that the process-wide state holds (state.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>
#include <utility>

// See the build file: an exception-enabled build would let a thread ended at
// interpreter exit run Ref destructors without the GIL.
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
#error "factsift must be compiled with -fno-exceptions"
#endif

namespace factsift {

// Owns one strong reference. A plain PyObject* anywhere in this code base is
// borrowed; whatever owns a reference holds it in a Ref, and a function that
// hands out a new reference returns a Ref.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (what most C API calls return); null stays null.
    static Ref consuming(PyObject* new_reference) noexcept { return Ref(new_reference); }
    // Adds a reference of its own to a borrowed object; null stays null.
    static Ref owning(PyObject* borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

    Ref(Ref&& other) noexcept : p_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(p_, other.release()));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller, typically to return it to Python.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}

    PyObject* p_ = nullptr;
};

// Every text the module uses: (field, text, interned). Identifiers are
// interned so that attribute, keyword and dictionary lookups match by identity.
#define FACTSIFT_STRINGS(X)                                                   \
    X(os, "os", true)                                                         \
    X(sys, "sys", true)                                                       \
    X(re, "re", true)                                                         \
    X(traceback, "traceback", true)                                           \
    X(openai, "openai", true)                                                 \
    X(OpenAI, "OpenAI", true)                                                 \
    X(object, "object", true)                                                 \
    X(path, "path", true)                                                     \
    X(getcwd, "getcwd", true)                                                 \
    X(append, "append", true)                                                 \
    X(compile, "compile", true)                                               \
    X(sub, "sub", true)                                                       \
    X(print_exc, "print_exc", true)                                           \
    X(chat, "chat", true)                                                     \
    X(completions, "completions", true)                                       \
    X(create, "create", true)                                                 \
    X(choices, "choices", true)                                               \
    X(message, "message", true)                                               \
    X(role, "role", true)                                                     \
    X(user, "user", true)                                                     \
    X(content, "content", true)                                               \
    X(summary, "summary", true)                                               \
    X(title, "title", true)                                                   \
    X(status, "status", true)                                                 \
    X(ok, "ok", true)                                                         \
    X(error, "error", true)                                                   \
    X(self, "self", true)                                                     \
    X(base_url, "base_url", true)                                             \
    X(api_key, "api_key", true)                                               \
    X(model_id, "model_id", true)                                             \
    X(prompt, "prompt", true)                                                 \
    X(length, "length", true)                                                 \
    X(pattern, "pattern", true)                                               \
    X(messages, "messages", true)                                             \
    X(client, "client", true)                                                 \
    X(response, "response", true)                                             \
    X(e, "e", true)                                                           \
    X(model, "model", true)                                                   \
    X(stream, "stream", true)                                                 \
    X(init, "__init__", true)                                                 \
    X(extract, "extract", true)                                               \
    X(refined_title, "refined_title", true)                                   \
    X(AISummary, "AISummary", true)                                           \
    X(init_qualname, "AISummary.__init__", true)                              \
    X(extract_qualname, "AISummary.extract", true)                            \
    X(refined_title_qualname, "AISummary.refined_title", true)                \
    X(module_name, "factsift.factsift", true)                                 \
    X(dunder_test, "__test__", true)                                          \
    X(dunder_module, "__module__", true)                                      \
    X(dunder_qualname, "__qualname__", true)                                  \
    X(dunder_orig_bases, "__orig_bases__", true)                              \
    X(dunder_mro_entries, "__mro_entries__", true)                            \
    X(dunder_prepare, "__prepare__", true)                                    \
    X(dunder_spec, "__spec__", true)                                          \
    X(initializing, "_initializing", true)                                    \
    X(empty, "", false)                                                       \
    X(two_hundred_text, "200", false)                                         \
    X(lead_in, "作为一个事实信息核查员，请从如下内容中抽取出事实性信息，并根据事实信息总结出摘要, 要求字数在", false) \
    X(label, "字左右。要求: ", false)                                         \
    X(full_stop, "。", false)                                                 \
    X(dot, ".", false)                                                        \
    X(clean_pattern, "[^\\w\\s]", false)

// The texts, one owned reference each, made once per process (ProcessState).
struct Strings {
#define FACTSIFT_FIELD(id, text, interned) Ref id;
    FACTSIFT_STRINGS(FACTSIFT_FIELD)
#undef FACTSIFT_FIELD
};

// Objects other than texts, one owned reference each. All but object_bases
// are made once per process; object_bases follows builtins.object at every
// run of the module body.
struct Constants {
    Ref empty_tuple;
    Ref two_hundred;
    Ref zero;
    Ref client_kwnames;   // ("base_url", "api_key")
    Ref request_kwnames;  // ("model", "messages", "stream")
    Ref object_bases;     // (object,)
    Ref init_defaults;    // ('',)
    Ref method_defaults;  // ('', 200), shared by both working methods
    Ref function_type;
};

// One statement of a body (the module's, a method's) and the source line
// that its traceback entry reports when it fails.
template <typename Frame>
struct Step {
    int line;
    bool (*run)(Frame&);
};

// Runs `steps` in order on `frame`: 0 when all succeed, else the line of the
// step that failed, with its exception set.
template <typename Frame>
int run_steps(std::span<const Step<Frame>> steps, Frame& frame) {
    for (const Step<Frame>& step : steps)
        if (!step.run(frame)) return step.line;
    return 0;
}

// The file name shown by traceback entries and code objects. No such file
// exists, so a printed traceback never shows a line of some unrelated file.
inline constexpr char source_file[] = "factsift/factsift.cpp";

}  // namespace factsift
