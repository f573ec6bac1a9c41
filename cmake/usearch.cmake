# USearch is header-only. Its headers come from the pinned source distribution on PyPI, checked
# against its SHA-256 and unpacked into the build tree; none of its build scripts run and nothing
# is copied into the repository.
#
# Offline builds: set ORVANE_USEARCH_DIR (CMake cache variable or environment variable) to either
# the sdist archive usearch-<version>.tar.gz (checked against the same hash) or a directory that
# holds include/usearch/ of the same version (an extracted sdist).
set(USEARCH_VERSION "2.26.6")
set(USEARCH_SHA256 "eefb8dc019ad5a184f6089b22f20b91b3961720e504e97ba2718ad62ed65674b")
set(USEARCH_URL "https://files.pythonhosted.org/packages/d2/1d/0a70661ac69c73eeebff79c5cb5dd8b0286594a7dd61f7c7b691956ea2a9/usearch-${USEARCH_VERSION}.tar.gz")

if(NOT DEFINED ORVANE_USEARCH_DIR)
  set(ORVANE_USEARCH_DIR "$ENV{ORVANE_USEARCH_DIR}")
endif()

set(_us_deps "${CMAKE_BINARY_DIR}/_deps")
set(_us_archive "${_us_deps}/usearch-${USEARCH_VERSION}.tar.gz")
if(ORVANE_USEARCH_DIR AND IS_DIRECTORY "${ORVANE_USEARCH_DIR}")
  set(USEARCH_ROOT "${ORVANE_USEARCH_DIR}")
else()
  if(ORVANE_USEARCH_DIR)
    if(NOT EXISTS "${ORVANE_USEARCH_DIR}")
      message(FATAL_ERROR "ORVANE_USEARCH_DIR: ${ORVANE_USEARCH_DIR} does not exist")
    endif()
    file(SHA256 "${ORVANE_USEARCH_DIR}" _us_hash)
    if(NOT _us_hash STREQUAL USEARCH_SHA256)
      message(FATAL_ERROR "ORVANE_USEARCH_DIR: ${ORVANE_USEARCH_DIR} has SHA-256 ${_us_hash}, "
                          "expected ${USEARCH_SHA256} (usearch ${USEARCH_VERSION} sdist)")
    endif()
    set(_us_archive "${ORVANE_USEARCH_DIR}")
  else()
    # skipped when a previous build left the archive with the right hash
    file(DOWNLOAD "${USEARCH_URL}" "${_us_archive}" EXPECTED_HASH SHA256=${USEARCH_SHA256}
         TLS_VERIFY ON STATUS _us_status)
    list(GET _us_status 0 _us_rc)
    if(NOT _us_rc EQUAL 0)
      list(GET _us_status 1 _us_msg)
      message(FATAL_ERROR "could not download usearch ${USEARCH_VERSION} (${_us_msg}); "
                          "without network, set ORVANE_USEARCH_DIR to a local copy")
    endif()
  endif()
  set(USEARCH_ROOT "${_us_deps}/usearch-${USEARCH_VERSION}")
  file(REMOVE_RECURSE "${USEARCH_ROOT}")
  file(ARCHIVE_EXTRACT INPUT "${_us_archive}" DESTINATION "${_us_deps}"
       PATTERNS "usearch-${USEARCH_VERSION}/include/usearch/*")
endif()

# A directory given by hand is not hash-checked, so at least its version must match.
set(_us_index "${USEARCH_ROOT}/include/usearch/index.hpp")
if(NOT EXISTS "${_us_index}")
  message(FATAL_ERROR "no include/usearch/index.hpp under ${USEARCH_ROOT}")
endif()
file(STRINGS "${_us_index}" _us_defs REGEX "^#define USEARCH_VERSION_(MAJOR|MINOR|PATCH) ")
string(REGEX REPLACE "[^;]*MAJOR ([0-9]+);[^;]*MINOR ([0-9]+);[^;]*PATCH ([0-9]+)" "\\1.\\2.\\3"
       _us_found "${_us_defs}")
if(NOT _us_found STREQUAL USEARCH_VERSION)
  message(FATAL_ERROR "usearch headers under ${USEARCH_ROOT} are version '${_us_found}', "
                      "expected ${USEARCH_VERSION}")
endif()
message(STATUS "USearch ${USEARCH_VERSION}: ${USEARCH_ROOT}/include")

add_library(usearch_headers INTERFACE)
target_include_directories(usearch_headers SYSTEM INTERFACE "${USEARCH_ROOT}/include")
# fp16 and SIMD plugins stay off: the index only needs bf16 storage and plain L2.
target_compile_definitions(usearch_headers INTERFACE
  USEARCH_USE_NUMKONG=0 USEARCH_USE_OPENMP=0)
