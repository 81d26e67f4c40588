/* pyconfig.h for building stable-ABI extension modules for Windows and macOS with Debian's
   CPython 3.11 headers. Under Py_LIMITED_API the headers read only the type sizes, the
   platform switches and, on Windows, how the interpreter DLL's symbols are linked. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(__x86_64__) && !defined(__aarch64__)
#error "pyconfig.h: only 64-bit x86 and ARM targets are described here"
#endif

#define SIZEOF_INT 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_SHORT 2
#define HAVE_STDDEF_H 1

#if defined(_WIN32)
/* What CPython's own Windows configuration says of the platform. Windows is LLP64: long
   stays 32 bits, and wchar_t is UTF-16. Py_ssize_t comes from intptr_t (no ssize_t). */
#define MS_WIN32
#define MS_WINDOWS
#define MS_WIN64
#define NT_THREADS
#define WITH_THREAD
#define SIZEOF_LONG 4
#define SIZEOF_WCHAR_T 2
/* The interpreter is a DLL: its functions and data are __declspec(dllimport), and a module's
   PyInit_* is __declspec(dllexport). */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#elif defined(__APPLE__)
/* LP64 with 32-bit wchar_t, as on every Unix; pymacconfig.h repeats the sizes per arch. */
#define SIZEOF_LONG 8
#define SIZEOF_WCHAR_T 4
#define SIZEOF_PID_T 4
#define HAVE_SSIZE_T 1
#define HAVE_UNISTD_H 1
#define HAVE_SYS_STAT_H 1
#else
#error "pyconfig.h: Windows and macOS only; Linux builds use the installed CPython's own"
#endif

#endif /* Py_CONFIG_H */
