#pragma once
// Argument binding for fast calls with keywords (and for tp_new), plus the conversions every
// callable shares. Each function returns false (or a null Ref) with a Python error set.
#include <cstdint>
#include <string>

#include "py/ref.hpp"

namespace py {

struct Signature {
  const char* name;                  // shown in binding errors, e.g. "RustEngineAsync.start"
  const char* const* params;
  int count;
  int required;                      // the first `required` params have no default
  int positional = -1;               // how many may be given by position; -1: all of them
};

// Fills out[0..count) with borrowed references, nullptr for absent arguments.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Wraps a TypeError that is being raised as "argument '<name>': <message>"; other errors pass,
// and so does everything when `argname` is null (conversions inside a method body).
void prefix_type_error(const char* argname);

// str -> UTF-8
bool to_utf8(PyObject* o, const char* argname, std::string& out);
// Integer through __index__, read as a signed 64-bit value, then range-checked.
bool to_int_in(PyObject* o, const char* argname, long long lo, long long hi, long long& out);
// A float read directly, anything else through float conversion.
bool to_double(PyObject* o, const char* argname, double& out);

// "'<type>' object cannot be converted to '<target>'" as a TypeError.
void raise_cannot_convert(PyObject* o, const char* target);

}  // namespace py
