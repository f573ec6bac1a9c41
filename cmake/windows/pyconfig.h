/* pyconfig.h for building extensions of the limited API for 64-bit Windows CPython without a
   Windows installation at hand. Under Py_LIMITED_API the headers read only the facts below:
   the platform, that the interpreter is a DLL whose symbols are imported, and the sizes of the C
   types on LLP64 (where long stays 32 bits). */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !(defined(__x86_64__) || defined(_M_X64))
#error "this pyconfig.h describes 64-bit x86 Windows only"
#endif

#define MS_WINDOWS
#define MS_WIN32 /* CPython's name for the Windows API, 64-bit included */
#define MS_WIN64
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#define HAVE_DYNAMIC_LOADING
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_WCHAR_H 1
#define HAVE_USABLE_WCHAR_T 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4

#endif /* Py_CONFIG_H */
