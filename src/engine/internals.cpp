#include "engine/internals.hpp"

#include "process.hpp"

namespace engine {

void forget_parent(Internals& in);  // fork.cpp

namespace {
Internals* made = nullptr;
}

Internals* internals() {
  if (made) {
    if (made->process != proc::fork_generation()) [[unlikely]]
      forget_parent(*made);
    return made;
  }
  py::Ref asyncio = py::Ref::steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) return nullptr;
  auto* in = new Internals;
  in->tables = new LoopTables;
  in->process = proc::fork_generation();
  in->get_running_loop = PyObject_GetAttrString(asyncio.get(), "get_running_loop");
  PyObject** names[] = {&in->s_add_done_callback,    &in->s_add_reader,    &in->s_call_soon_threadsafe,
                        &in->s_cancelled,            &in->s_create_future, &in->s_is_closed,
                        &in->s_remove_done_callback, &in->s_remove_reader, &in->s_set_exception,
                        &in->s_set_result};
  const char* texts[] = {"add_done_callback",    "add_reader",    "call_soon_threadsafe",
                         "cancelled",            "create_future", "is_closed",
                         "remove_done_callback", "remove_reader", "set_exception",
                         "set_result"};
  bool ok = in->get_running_loop != nullptr;
  for (std::size_t i = 0; ok && i < std::size(names); ++i) ok = (*names[i] = PyUnicode_InternFromString(texts[i]));
  if (!ok) {
    delete in->tables;
    delete in;  // the few references already taken are kept: this only happens without memory
    return nullptr;
  }
  made = in;
  return made;
}

Internals& made_internals() noexcept { return *made; }

Internals* made_or_null() noexcept { return made; }

}  // namespace engine
