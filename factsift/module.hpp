// Module initialisation: the create and exec steps and the process-wide
// state they set up.
#pragma once

#include "common.hpp"

#include <cstdint>

namespace factsift {

struct ModuleState {
    std::int64_t interpreter_id = -1;  // the one interpreter this process allows
    Ref module;                        // the module being or having been executed
};

// Never destroyed: it must outlive the interpreter's finalisation, after
// which releasing its references would be an error.
inline ModuleState& state = *new ModuleState;

}  // namespace factsift
