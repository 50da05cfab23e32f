// The one place that includes the interpreter's C API, so that every binding file sees the
// same configuration of it. PyPy's headers map each Py* name onto its PyPy* symbol.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
