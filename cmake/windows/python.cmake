# What FindPython needs to build a stable-ABI extension for 64-bit Windows from another system,
# where no Windows CPython is installed:
#  - headers: the build machine's own (the limited API's headers are the same everywhere) with the
#    pyconfig.h of this folder in place of the build machine's;
#  - python3.dll's import library, made with zig's dlltool from a module-definition file that lists
#    every function and data object those headers declare under Py_LIMITED_API.
# Either can be given instead: -DPython_INCLUDE_DIR=... (with a Windows pyconfig.h),
# -DPython_SABI_LIBRARY=... (python3.lib or libpython3.a). Values that describe the build machine's
# interpreter (which scikit-build-core passes) are replaced.
if(NOT Python_EXECUTABLE)
  find_package(Python 3.11 REQUIRED COMPONENTS Interpreter)
endif()
set(_win_dir "${CMAKE_BINARY_DIR}/windows-python")
set(_win_config "")
if(Python_INCLUDE_DIR AND EXISTS "${Python_INCLUDE_DIR}/pyconfig.h")
  file(STRINGS "${Python_INCLUDE_DIR}/pyconfig.h" _win_config REGEX "^#define MS_WIN64")
endif()
if(NOT _win_config)
  execute_process(COMMAND "${Python_EXECUTABLE}" -c
    "import sysconfig; print(sysconfig.get_paths()['include'])"
    OUTPUT_VARIABLE _win_host_include OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${_win_dir}/include")
  file(COPY "${_win_host_include}/" DESTINATION "${_win_dir}/include")
  file(COPY_FILE "${CMAKE_CURRENT_LIST_DIR}/pyconfig.h" "${_win_dir}/include/pyconfig.h")
  set(Python_INCLUDE_DIR "${_win_dir}/include" CACHE PATH "Python headers for Windows" FORCE)
endif()
if(NOT Python_SABI_LIBRARY MATCHES "\\.(lib|a)$")
  if(NOT ZIG_EXECUTABLE)
    message(FATAL_ERROR "Windows cross builds take zig's dlltool: use cmake/zig-toolchain.cmake, "
                        "or give -DPython_SABI_LIBRARY=<python3.dll import library>")
  endif()
  # with and without PY_SSIZE_T_CLEAN, which swaps in the argument parsers' _SizeT names
  foreach(_win_clean 0 1)
    set(_win_define -DPy_LIMITED_API=0x030B0000)
    if(_win_clean)
      list(APPEND _win_define -DPY_SSIZE_T_CLEAN)
    endif()
    execute_process(
      COMMAND "${CMAKE_CXX_COMPILER}" -E -x c ${_win_define} "-I${Python_INCLUDE_DIR}"
        "${Python_INCLUDE_DIR}/Python.h" -o "${_win_dir}/Python${_win_clean}.i"
      COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  execute_process(
    COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/python3_def.py" "${Python_INCLUDE_DIR}"
      "${_win_dir}/python3.def" "${_win_dir}/Python0.i" "${_win_dir}/Python1.i"
    COMMAND_ERROR_IS_FATAL ANY)
  execute_process(
    COMMAND "${ZIG_EXECUTABLE}" dlltool -m i386:x86-64 -d "${_win_dir}/python3.def"
      -D python3.dll -l "${_win_dir}/libpython3.a"
    COMMAND_ERROR_IS_FATAL ANY)
  set(Python_SABI_LIBRARY "${_win_dir}/libpython3.a" CACHE FILEPATH "python3.dll import library"
      FORCE)
  message(STATUS "python3.dll import library: ${Python_SABI_LIBRARY}")
endif()
