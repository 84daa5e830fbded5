#include "traceback.hpp"

#include "compat.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>

namespace factsift {
namespace {

struct Key {
    int line;
    const char* function;  // one of the module's constant names
};

// By line; within a line by name, compared by address (any fixed order will do).
bool operator<(const Key& a, const Key& b) {
    return a.line != b.line ? a.line < b.line : std::less<>{}(a.function, b.function);
}

// One empty code object per function and source line, sorted and searched by
// bisection; it never shrinks. Its capacity exceeds the number of failure
// points in the module; were it full, entries would get code objects that
// are not kept.
class CodeTable {
public:
    PyObject* find(Key key) {
        Entry* at = lower_bound(key);
        return at != end() && !(key < at->key) ? at->code.get() : nullptr;
    }

    void insert(Key key, PyObject* code) {
        if (size_ == entries_.size()) return;
        Entry* at = lower_bound(key);
        std::move_backward(at, end(), end() + 1);
        *at = {key, Ref::borrow(code)};
        ++size_;
    }

private:
    struct Entry {
        Key key;
        Ref code;
    };

    std::array<Entry, 64> entries_{};
    std::size_t size_ = 0;

    Entry* end() { return entries_.data() + size_; }
    Entry* lower_bound(Key key) {
        return std::lower_bound(entries_.data(), end(), key, [](const Entry& e, const Key& k) { return e.key < k; });
    }
};

// Never destroyed: its references must outlive the interpreter's finalisation.
CodeTable& code_table = *new CodeTable;

Ref code_for(const char* function, int line) {
    const Key key{line, function};
    if (PyObject* code = code_table.find(key)) return Ref::borrow(code);
    Ref code = compat::empty_code(function, line);
    if (code) code_table.insert(key, code.get());
    return code;
}

}  // namespace

void add_traceback(const char* function_name, int line, PyObject* globals) {
    // The pending exception is set aside while the code object and frame are
    // made, so that their creation runs with a clean error indicator.
    compat::PendingError pending;
    Ref code = code_for(function_name, line);
    if (!code) return;
    Ref frame(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    if (!frame) return;
    compat::set_frame_line(reinterpret_cast<PyFrameObject*>(frame.get()), line);
    pending.restore();
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace factsift
