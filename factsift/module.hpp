// Module initialisation: the create and exec steps. The state they set up
// is in state.hpp.
#pragma once

#include "state.hpp"
