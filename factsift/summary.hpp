// The class AISummary: its constructor and the two working methods.
#pragma once

#include "function.hpp"

namespace factsift {

extern const MethodDef init_method;
extern const MethodDef extract_method;
extern const MethodDef refined_title_method;

}  // namespace factsift
