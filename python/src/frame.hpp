#pragma once
// The one call-binding frame. Every Python-visible entry (constructor, method,
// static method, property, slot, module function) is an instantiation of an
// entry template around a small function on core values. The steps of one
// call live in one file each, read in this order:
//   frame/errors.hpp     C++ failures -> Python exceptions (guarded, raise)
//   frame/types.hpp      instances, classes, creating a class once
//   frame/borrow.hpp     the receiver's and arguments' borrows
//   frame/convert.hpp    FromPy<T> (argument -> value), ToPy<T> (result -> object)
//   frame/signature.hpp  binding arguments to parameters, doc texts
//   frame/pickle.hpp     pickling and copying
//   frame/entry.hpp      the entry points the interpreter calls
//   frame/binder.hpp     Binder<C> rows and slot rows, module function rows
#include "frame/binder.hpp"
