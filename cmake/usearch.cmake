# USearch is header-only; its headers come from the pinned source distribution on PyPI,
# fetched with pip into the build tree (never copied into the repository).
set(USEARCH_VERSION "2.26.6")
set(USEARCH_ROOT "${CMAKE_BINARY_DIR}/_deps/usearch-${USEARCH_VERSION}")
if(NOT EXISTS "${USEARCH_ROOT}/include/usearch/index_dense.hpp")
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/_deps")
  file(GLOB _us_archive "${CMAKE_BINARY_DIR}/_deps/usearch-${USEARCH_VERSION}.tar.gz")
  if(NOT _us_archive)
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --no-deps --no-binary usearch
              --no-build-isolation "usearch==${USEARCH_VERSION}" -d "${CMAKE_BINARY_DIR}/_deps"
      RESULT_VARIABLE _us_rc)
    if(NOT _us_rc EQUAL 0)
      message(FATAL_ERROR "could not download the usearch ${USEARCH_VERSION} source distribution")
    endif()
  endif()
  file(ARCHIVE_EXTRACT INPUT "${CMAKE_BINARY_DIR}/_deps/usearch-${USEARCH_VERSION}.tar.gz"
       DESTINATION "${CMAKE_BINARY_DIR}/_deps" PATTERNS "usearch-${USEARCH_VERSION}/include/*")
endif()
add_library(usearch_headers INTERFACE)
target_include_directories(usearch_headers SYSTEM INTERFACE "${USEARCH_ROOT}/include")
# fp16 and SIMD plugins stay off: the index only needs bf16 storage and plain L2.
target_compile_definitions(usearch_headers INTERFACE
  USEARCH_USE_NUMKONG=0 USEARCH_USE_OPENMP=0)
