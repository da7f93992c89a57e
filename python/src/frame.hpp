#pragma once
// The one call-binding frame. Every Python-visible entry (constructor, method,
// static method, property, slot, module function) is an instantiation of an
// entry template around a small function on core values. The steps of one
// call live in one file each, read in this order:
//   frame/once.hpp       a value made once per process (OnceCell)
//   frame/errors.hpp     C++ failures -> Python exceptions (guarded, raise)
//   frame/types.hpp      instances, classes, creating a class once
//   frame/borrow.hpp     the receiver's and arguments' borrows
//   frame/args.hpp       FromPy<T>: an argument -> the value a body declares
//   frame/tables.hpp     (n, D...) tables of numbers read as arguments
//   frame/signals.hpp    Ctrl-C in long loops and pool operations
//   frame/results.hpp    ToPy<T>: a body's result -> an object
//   frame/buffers.hpp    elements lent through the buffer protocol, one view filler
//   frame/array.hpp      Array, the one array result (its rows in array.cpp)
//   frame/signature.hpp  binding arguments to parameters, doc texts
//   frame/pickle.hpp     pickling and copying
//   frame/stubs.hpp      the typed description of every entry, for the stubs
//   frame/entry.hpp      the entry points the interpreter calls
//   frame/binder.hpp     Binder<C> rows and slot rows, module function rows
#include "frame/errors.hpp"
#include "frame/once.hpp"
#include "frame/types.hpp"
#include "frame/borrow.hpp"
#include "frame/args.hpp"
#include "frame/tables.hpp"
#include "frame/signals.hpp"
#include "frame/results.hpp"
#include "frame/buffers.hpp"
#include "frame/array.hpp"
#include "frame/signature.hpp"
#include "frame/pickle.hpp"
#include "frame/stubs.hpp"
#include "frame/binder.hpp"
