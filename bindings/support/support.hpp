// The shared glue, for a binding file to include at once. Each room says what
// it holds:
//   binder_internals.hpp  every use of pybind11's internals (and why)
//   errors.hpp            exception translation, exact-type checks, asserts, `with`
//   classes.hpp           plain Python classes and their methods
//   functions.hpp         the Python-function face of bound functions
//   conversions.hpp       paths, text, numpy arrays, unpacking
//   waits.hpp             interruptible waits, pools of the core's workers
//   progress.hpp          print and tqdm bars
//   imports.hpp           lazily imported libraries (included where used)
//   module.hpp            the module a binding file builds (self())
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "support/binder_internals.hpp"
#include "support/classes.hpp"
#include "support/conversions.hpp"
#include "support/errors.hpp"
#include "support/functions.hpp"
#include "support/module.hpp"
#include "support/progress.hpp"
#include "support/waits.hpp"
