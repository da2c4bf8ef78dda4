#pragma once
// The Python class EngineGroup (engines stepped together); a module attribute, not in __all__.
#include "py/ref.hpp"

namespace engine {

// Built once per process; null with a Python error set if it cannot be built.
PyTypeObject* group_type();

}  // namespace engine
