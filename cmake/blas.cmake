# BLAS: Apple's Accelerate framework on Apple platforms, OpenBLAS from scipy-openblas32 elsewhere.
# Either way the target `orvane_blas` carries what the core needs; src/common/blas.cpp picks the
# matching symbol names from ORVANE_BLAS_ACCELERATE.
option(ORVANE_ACCELERATE "BLAS from Apple's Accelerate framework" ${APPLE})
add_library(orvane_blas INTERFACE)
if(ORVANE_ACCELERATE)
  if(NOT APPLE)
    message(FATAL_ERROR "ORVANE_ACCELERATE: Accelerate exists only on Apple platforms")
  endif()
  # Without an SDK (cross builds) the stub in cmake/macos stands in for the framework at link time:
  # it lists only the symbols we call, and the extension records the real framework's path.
  find_library(ACCELERATE_FRAMEWORK Accelerate)
  if(NOT ACCELERATE_FRAMEWORK)
    target_link_options(orvane_blas INTERFACE "-F${CMAKE_CURRENT_LIST_DIR}/macos")
    message(STATUS "BLAS: Accelerate (link stub ${CMAKE_CURRENT_LIST_DIR}/macos)")
  else()
    message(STATUS "BLAS: ${ACCELERATE_FRAMEWORK}")
  endif()
  target_link_options(orvane_blas INTERFACE "SHELL:-framework Accelerate")
  target_compile_definitions(orvane_blas INTERFACE ORVANE_BLAS_ACCELERATE=1)
else()
  include(${CMAKE_CURRENT_LIST_DIR}/openblas.cmake)
  target_link_libraries(orvane_blas INTERFACE openblas_scipy)
endif()
