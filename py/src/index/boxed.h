// C++ values held inside Python objects of the module's own classes: the
// object is allocated by the interpreter and the value constructed in place,
// so its lifetime is exactly the Python object's.
#pragma once

#include <new>
#include <utility>

#include "pyutil.h"

namespace tessavine::py {

template <class T>
struct Boxed {
  PyObject_HEAD
  T value;
};

// A new instance of `type` (a heap type with basicsize sizeof(Boxed<T>)).
template <class T>
PyObject* box(PyObject* type, T value) {
  Boxed<T>* obj = PyObject_New(Boxed<T>, reinterpret_cast<PyTypeObject*>(type));
  if (obj == nullptr) return nullptr;
  new (&obj->value) T(std::move(value));
  return reinterpret_cast<PyObject*>(obj);
}

template <class T>
T& unbox(PyObject* self) {
  return reinterpret_cast<Boxed<T>*>(self)->value;
}

// tp_dealloc of a boxed type: destroys the value, frees the object and drops
// the reference every instance of a heap type holds on its type.
template <class T>
void dealloc_boxed(PyObject* self) {
  unbox<T>(self).~T();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  PyObject_Free(self);
  Py_DECREF(type);
}

}  // namespace tessavine::py
