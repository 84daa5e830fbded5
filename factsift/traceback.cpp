#include "traceback.hpp"

#include "compat.hpp"
#include "state.hpp"

#include <algorithm>
#include <functional>

namespace factsift {
namespace {

// By line; within a line by name, compared by address (any fixed order will do).
bool before(int line, const char* function, int other_line, const char* other_function) {
    return line != other_line ? line < other_line : std::less<>{}(function, other_function);
}

Ref code_for(const char* function, int line) {
    if (PyObject* code = process.code_table.find(line, function)) return Ref::owning(code);
    Ref code = compat::empty_code(function, line);
    if (code) process.code_table.insert(line, function, code.get());
    return code;
}

}  // namespace

CodeTable::Entry* CodeTable::lower_bound(int line, const char* function) {
    return std::lower_bound(entries_.data(), end(), 0, [&](const Entry& e, int) {
        return before(e.line, e.function, line, function);
    });
}

PyObject* CodeTable::find(int line, const char* function) {
    Entry* at = lower_bound(line, function);
    return at != end() && at->line == line && at->function == function ? at->code.get() : nullptr;
}

void CodeTable::insert(int line, const char* function, PyObject* code) {
    if (size_ == entries_.size()) return;
    Entry* at = lower_bound(line, function);
    std::move_backward(at, end(), end() + 1);
    *at = {line, function, Ref::owning(code)};
    ++size_;
}

void add_traceback(const char* function_name, int line, PyObject* globals) {
    // The pending exception is set aside while the code object and frame are
    // made, so that their creation runs with a clean error indicator.
    Ref pending = Ref::consuming(PyErr_GetRaisedException());
    Ref code = code_for(function_name, line);
    if (!code) return;
    Ref frame = Ref::consuming(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    if (!frame) return;
    compat::set_frame_line(reinterpret_cast<PyFrameObject*>(frame.get()), line);
    PyErr_SetRaisedException(pending.release());
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace factsift
