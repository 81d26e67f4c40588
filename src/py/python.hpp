// The one place that includes the CPython headers, always restricted to the stable ABI so
// that one binary loads in every Python from 3.10 on.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
