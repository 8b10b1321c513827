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

// A class of the module whose instances each hold one T. The class object is
// created on first use and kept for the process.
template <class T>
class BoxedClass {
 public:
  // `slots` must include dealloc_boxed<T> as Py_tp_dealloc.
  BoxedClass(const char* name, unsigned int flags, PyType_Slot* slots)
      : spec_{name, static_cast<int>(sizeof(Boxed<T>)), 0,
              static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | flags), slots} {}

  // Borrowed; null with an error set only if creating the class failed.
  PyObject* type() { return cached_type(type_, &spec_); }

  // A new instance holding `value`; null with an error set on failure.
  PyObject* make(T value) {
    PyObject* cls = type();
    return cls != nullptr ? box(cls, std::move(value)) : nullptr;
  }

  // The value inside `obj`, or null when `obj` is not an instance. The
  // classes cannot be subclassed, so only the exact type qualifies.
  const T* of(PyObject* obj) const {
    if (type_ == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(obj)) != type_) return nullptr;
    return &unbox<T>(obj);
  }

 private:
  PyType_Spec spec_;
  PyObject* type_ = nullptr;
};

}  // namespace tessavine::py
