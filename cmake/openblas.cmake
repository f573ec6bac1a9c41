# OpenBLAS comes from the scipy-openblas32 wheel (a build requirement and a runtime dependency).
# Its symbols carry a `scipy_` prefix; our BLAS wrapper hides that. The extension records only the
# library's soname (libscipy_openblas.so): at run time the package loads the library from wherever
# scipy_openblas32 is installed before it loads the extension.
#
# Cross builds cannot import the target's package: they name its folders with
# -DOPENBLAS_INCLUDE_DIR=... -DOPENBLAS_LIB_DIR=... (from the target's scipy-openblas32 wheel).
if(NOT OPENBLAS_INCLUDE_DIR OR NOT OPENBLAS_LIB_DIR)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
      "import scipy_openblas32 as s; print(s.get_include_dir()); print(s.get_lib_dir())"
    OUTPUT_VARIABLE _ob_out RESULT_VARIABLE _ob_rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _ob_rc EQUAL 0)
    message(FATAL_ERROR "scipy-openblas32 is required: pip install scipy-openblas32")
  endif()
  string(REPLACE "\n" ";" _ob_list "${_ob_out}")
  list(GET _ob_list 0 OPENBLAS_INCLUDE_DIR)
  list(GET _ob_list 1 OPENBLAS_LIB_DIR)
endif()
find_library(OPENBLAS_LIBRARY NAMES scipy_openblas PATHS "${OPENBLAS_LIB_DIR}" NO_DEFAULT_PATH
             NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(openblas_scipy SHARED IMPORTED)
set(_ob_location "${OPENBLAS_LIBRARY}")
if(WIN32)
  # the wheel's libscipy_openblas.lib is the import library of the DLL beside it
  string(REGEX REPLACE "\\.lib$" ".dll" _ob_location "${OPENBLAS_LIBRARY}")
  set_target_properties(openblas_scipy PROPERTIES IMPORTED_IMPLIB "${OPENBLAS_LIBRARY}")
endif()
set_target_properties(openblas_scipy PROPERTIES
  IMPORTED_LOCATION "${_ob_location}"
  INTERFACE_INCLUDE_DIRECTORIES "${OPENBLAS_INCLUDE_DIR}"
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${OPENBLAS_INCLUDE_DIR}")
message(STATUS "OpenBLAS: ${_ob_location}")
