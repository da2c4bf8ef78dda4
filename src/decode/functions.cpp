// The module-level codec functions.
#include "py/ref.hpp"

namespace decode {

namespace {
PyMethodDef FUNCTIONS[] = {{nullptr, nullptr, 0, nullptr}};
}

PyMethodDef* module_functions() { return FUNCTIONS; }

}  // namespace decode
