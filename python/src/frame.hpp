#pragma once
// The one call-binding frame. Every Python-visible entry (constructor, method,
// static method, property, slot, module function) is an instantiation of a
// Binder template around a small function on core values. The steps of one
// call live in one file each, read in this order:
//   frame/once.hpp       a value made once per process (OnceCell)
//   frame/errors.hpp     C++ failures -> Python exceptions (guarded, raise)
//   frame/types.hpp      instances, classes, creating a class once
//   frame/borrow.hpp     the receiver's and arguments' borrows
//   frame/convert.hpp    FromPy<T> (argument -> value), ToPy<T> (result -> object)
//   frame/signature.hpp  binding arguments to parameters, doc texts
//   frame/pickle.hpp     pickling and copying
//   frame/binder.hpp     Binder<C> rows and slots, module functions
#include "frame/binder.hpp"
