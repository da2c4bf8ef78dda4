#pragma once
// Owned references and the interpreter lock, so that error paths need no Py_DECREF chains.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <utility>

namespace py {

namespace detail {
// Set when the interpreter ended this thread from inside a C-API call (CPython does so with
// pthread_exit when a worker asks for the lock during finalisation). The stack then unwinds
// through our destructors, which must not touch the interpreter any more.
inline thread_local bool interpreter_gone = false;
}  // namespace detail

// Runs `f`, a C-API call that may release and re-take the interpreter lock.
template <class F>
decltype(auto) releasing_call(F&& f) {
  try {
    return f();
  } catch (abi::__forced_unwind&) {
    detail::interpreter_gone = true;
    throw;
  }
}

// An owned (strong) reference; null means "a Python error is set" where a function returns one.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() {
    if (!detail::interpreter_gone) Py_XDECREF(p_);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { Py_CLEAR(p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Takes the interpreter lock on a runtime worker thread. The first use on a thread creates its
// Python thread state and keeps it for good: otherwise CPython creates and deletes one (with an
// mmap/munmap) on every completion.
class Gil {
 public:
  Gil() noexcept : s_(ensure()) {}
  ~Gil() {
    if (!detail::interpreter_gone) PyGILState_Release(s_);
  }
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;

 private:
  static PyGILState_STATE ensure() noexcept {
    thread_local bool primed = false;
    if (!primed) {
      PyGILState_Ensure();  // never released: the thread state stays with this thread
      PyEval_SaveThread();
      primed = true;
    }
    return PyGILState_Ensure();
  }
  PyGILState_STATE s_;
};

// An error already set in the interpreter is kept across code that may clobber it.
class SavedError {
 public:
  SavedError() noexcept { PyErr_Fetch(&t_, &v_, &tb_); }
  void restore() noexcept {
    PyErr_Restore(t_, v_, tb_);
    t_ = v_ = tb_ = nullptr;
  }
  ~SavedError() {
    if (detail::interpreter_gone) return;
    Py_XDECREF(t_);
    Py_XDECREF(v_);
    Py_XDECREF(tb_);
  }

 private:
  PyObject *t_, *v_, *tb_;
};

}  // namespace py
