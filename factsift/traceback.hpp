// Traceback entries for the module's own code, which has no Python frames:
// each names a function, the module's source file and a line.
#pragma once

#include "common.hpp"

namespace factsift {

// Adds one entry in front of the pending exception's entries, as the
// interpreter does for a frame that an exception leaves; the exception stays
// pending. When the entry cannot be built, that error replaces the pending one.
void add_traceback(const char* function_name, int line, PyObject* globals);

}  // namespace factsift
