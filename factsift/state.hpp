// Everything the module keeps beyond one call, for the life of the process,
// in one place.
#pragma once

#include "common.hpp"
#include "compat.hpp"
#include "globals.hpp"
#include "traceback.hpp"

#include <cstdint>

namespace factsift {

// Each use of a module global in a working method's body.
struct MethodSites {
    GlobalSite compile, sub, open_ai, print;
};

// The __init__ that a class made by the module had when it last had the
// version `version`; borrowed from the class, which holds it while it keeps
// that version.
struct InitCache {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    PyObject* init = nullptr;
};

struct ProcessState {
    std::int64_t interpreter_id = -1;  // the one interpreter this process allows
    Ref module;                        // the module being or having been executed
    Ref builtins;                      // where module globals are looked up second
    Strings strings;
    Constants constants;
    compat::NamespaceWatch namespace_watch;
    CodeTable code_table;
    InitCache construction;
    MethodSites extract_sites{{&strings.re}, {&strings.re}, {&strings.OpenAI}, {&strings.traceback}};
    MethodSites title_sites{{&strings.re}, {&strings.re}, {&strings.OpenAI}, {&strings.traceback}};
};

// Holds the state without ever destroying it: the state must outlive the
// interpreter's finalisation, after which releasing its references would be
// an error. (Static storage, so that constant tables can point into it.)
union ProcessStorage {
    ProcessState state;
    ProcessStorage() : state() {}
    ~ProcessStorage() {}
};

inline ProcessStorage process_storage;
inline ProcessState& process = process_storage.state;
inline Strings& strings = process.strings;
inline Constants& constants = process.constants;

}  // namespace factsift
