# What FindPython needs to build a stable-ABI extension for 64-bit Windows with zig's clang
# (x86_64-windows-gnu), on Windows or elsewhere:
#  - headers: those of the interpreter at hand (the limited API's headers are the same everywhere)
#    with the pyconfig.h of this folder in place of its own: a Linux one describes another system,
#    and a Windows installation's describes MSVC, not this target;
#  - python3.dll's import library: the interpreter's python3.lib where that is given as
#    -DPython_SABI_LIBRARY (a Windows installation's), else made with zig's dlltool from a
#    module-definition file that lists every function and data object those headers declare under
#    Py_LIMITED_API.
if(NOT Python_EXECUTABLE)
  find_package(Python 3.11 REQUIRED COMPONENTS Interpreter)
endif()
set(_win_dir "${CMAKE_BINARY_DIR}/windows-python")
if(NOT Python_INCLUDE_DIR STREQUAL "${_win_dir}/include")
  set(_win_headers "${Python_INCLUDE_DIR}")
  if(NOT _win_headers OR NOT EXISTS "${_win_headers}/Python.h")
    execute_process(COMMAND "${Python_EXECUTABLE}" -c
      "import sysconfig; print(sysconfig.get_paths()['include'])"
      OUTPUT_VARIABLE _win_headers OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${_win_dir}/include")
  file(COPY "${_win_headers}/" DESTINATION "${_win_dir}/include")
  file(COPY "${CMAKE_CURRENT_LIST_DIR}/pyconfig.h" DESTINATION "${_win_dir}/include")
  set(Python_INCLUDE_DIR "${_win_dir}/include" CACHE PATH "Python headers for Windows" FORCE)
endif()
if(NOT Python_SABI_LIBRARY MATCHES "\\.lib$"
   AND NOT Python_SABI_LIBRARY STREQUAL "${_win_dir}/libpython3.a")
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
