#include "py/args.hpp"

#include "texts.hpp"

#include <cstring>
#include <vector>

namespace py {

namespace {

const char* plural(long long n) { return n == 1 ? "" : "s"; }

int find_param(const Signature& sig, PyObject* key) {
  // By text: the key's UTF-8 (cached in the str object) against each parameter name in turn.
  const char* k = PyUnicode_AsUTF8(key);
  if (!k) {
    PyErr_Clear();
    return -1;
  }
  for (int i = 0; i < sig.count; ++i)
    if (std::strcmp(sig.params[i], k) == 0) return i;
  return -1;
}

int positional(const Signature& sig) { return sig.positional < 0 ? sig.count : sig.positional; }

bool too_many(const Signature& sig, Py_ssize_t given) {
  const int most = positional(sig);
  if (most < sig.count && most > sig.required)
    PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given", sig.name,
                 sig.required, most, given, given == 1 ? "was" : "were");
  else if (most < sig.count)
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", sig.name, most,
                 plural(most), given, given == 1 ? "was" : "were");
  else if (sig.count == 0)
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", sig.name, given);
  else if (sig.required == sig.count)
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", sig.name, sig.count,
                 plural(sig.count), given, given == 1 ? "was" : "were");
  else
    PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given", sig.name,
                 sig.required, sig.count, given, given == 1 ? "was" : "were");
  return false;
}

bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
  const int i = find_param(sig, key);
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
    return false;
  }
  if (out[i]) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, sig.params[i]);
    return false;
  }
  out[i] = value;
  return true;
}

bool check_missing(const Signature& sig, PyObject** out) {
  std::vector<const char*> missing;
  for (int i = 0; i < sig.required; ++i)
    if (!out[i]) missing.push_back(sig.params[i]);
  if (missing.empty()) return true;
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    names += "'";
    names += missing[i];
    names += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.name, missing.size(),
               plural(static_cast<long long>(missing.size())), names.c_str());
  return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
  if (nargs > positional(sig)) return too_many(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    const Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nk; ++k)
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  return check_missing(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > positional(sig)) return too_many(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!place_keyword(sig, key, value, out)) return false;
  }
  return check_missing(sig, out);
}

void prefix_type_error(const char* argname) {
  if (!argname || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  Ref text = Ref::steal(v ? PyObject_Str(v) : nullptr);
  Py_XDECREF(t);
  Py_XDECREF(v);
  Py_XDECREF(tb);
  if (!text) return;
  PyErr_Format(PyExc_TypeError, texts::ARGUMENT_PREFIX, argname, text.get());
}

void raise_cannot_convert(PyObject* o, const char* target) {
  // The type's own name, as type(o).__name__ shows it: "ndarray", not "numpy.ndarray".
  const char* name = Py_TYPE(o)->tp_name;
  if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
  PyErr_Format(PyExc_TypeError, texts::CANNOT_CONVERT, name, target);
}

bool to_utf8(PyObject* o, const char* argname, std::string& out) {
  if (!PyUnicode_Check(o)) {
    raise_cannot_convert(o, "PyString");
    prefix_type_error(argname);
    return false;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) return false;
  out.assign(s, static_cast<std::size_t>(n));
  return true;
}

bool to_int_in(PyObject* o, const char* argname, long long lo, long long hi, long long& out) {
  Ref idx = Ref::steal(PyNumber_Index(o));
  if (!idx) {
    prefix_type_error(argname);
    return false;
  }
  const long long v = PyLong_AsLongLong(idx.get());
  if (v == -1 && PyErr_Occurred()) return false;  // beyond 64 bits: the interpreter's OverflowError
  if (v < lo || v > hi) {
    PyErr_SetString(PyExc_OverflowError, texts::OUT_OF_RANGE);
    return false;
  }
  out = v;
  return true;
}

bool to_double(PyObject* o, const char* argname, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    prefix_type_error(argname);
    return false;
  }
  out = v;
  return true;
}

}  // namespace py
