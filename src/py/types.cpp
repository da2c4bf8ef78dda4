#include "py/types.hpp"

#include <vector>

namespace py {

PyTypeObject* make_type(const char* name, int basicsize, std::initializer_list<PyType_Slot> slots) {
  std::vector<PyType_Slot> all(slots);
  all.push_back({0, nullptr});
  PyType_Spec spec = {name, basicsize, 0, Py_TPFLAGS_DEFAULT, all.data()};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace py
