// The class AISummary: its constructor and the two working methods.
#pragma once

#include "function.hpp"

namespace factsift {

extern const MethodDef init_method;
extern const MethodDef extract_method;
extern const MethodDef refined_title_method;

// Lets calls of the class `cls` (made by `type`) skip the generic class call
// while its __new__, __init__ and metaclass are the ones the module made.
void speed_up_construction(PyObject* cls);

}  // namespace factsift
