// Traceback entries for the module's own code, which has no Python frames:
// each names a function, the module's source file and a line.
#pragma once

#include "common.hpp"

#include <array>
#include <cstddef>

namespace factsift {

// One empty code object per function and source line, sorted by line and
// name and searched by bisection; it never shrinks. Its capacity exceeds the
// number of failure points in the module; were it full, entries would get
// code objects that are not kept.
class CodeTable {
public:
    // `function` is one of the module's constant names, compared by address.
    PyObject* find(int line, const char* function);
    void insert(int line, const char* function, PyObject* code);

private:
    struct Entry {
        int line;
        const char* function;
        Ref code;
    };

    std::array<Entry, 64> entries_{};
    std::size_t size_ = 0;

    Entry* end() { return entries_.data() + size_; }
    Entry* lower_bound(int line, const char* function);
};

// Adds one entry in front of the pending exception's entries, as the
// interpreter does for a frame that an exception leaves; the exception stays
// pending. When the entry cannot be built, that error replaces the pending one.
void add_traceback(const char* function_name, int line, PyObject* globals);

}  // namespace factsift
