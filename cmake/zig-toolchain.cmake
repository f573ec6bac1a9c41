# Cross builds with zig's clang, which carries libc headers and stubs for every target, old glibc
# versions included, and links libc++ statically.
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake -DZIG_TARGET=<target>
# with <target> one of x86_64-linux-gnu.2.17, aarch64-linux-gnu.2.17, aarch64-macos, x86_64-macos,
# x86_64-windows-gnu.
# ZIG_EXECUTABLE is the zig binary (default: the one of the `ziglang` package of Python_EXECUTABLE,
# else `zig` on PATH).
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_TARGET ZIG_EXECUTABLE ZIG_LAUNCHERS)
if(NOT ZIG_TARGET)
  message(FATAL_ERROR "zig toolchain: set ZIG_TARGET, e.g. -DZIG_TARGET=aarch64-linux-gnu.2.17")
endif()

if(ZIG_TARGET MATCHES "macos")
  set(CMAKE_SYSTEM_NAME Darwin)
elseif(ZIG_TARGET MATCHES "windows")
  set(CMAKE_SYSTEM_NAME Windows)
else()
  set(CMAKE_SYSTEM_NAME Linux)
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${ZIG_TARGET}")
if(CMAKE_SYSTEM_NAME STREQUAL "Darwin" AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
endif()

if(NOT ZIG_EXECUTABLE)
  if(Python_EXECUTABLE)
    execute_process(COMMAND "${Python_EXECUTABLE}" -c
      "import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig' + ('.exe' if os.name == 'nt' else '')))"
      OUTPUT_VARIABLE ZIG_EXECUTABLE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT ZIG_EXECUTABLE OR NOT EXISTS "${ZIG_EXECUTABLE}")
    find_program(ZIG_EXECUTABLE zig REQUIRED)
  endif()
endif()

# CMake wants one executable per tool: small launchers that add the zig subcommand and target
# (shell scripts; batch files on a Windows build machine).
if(NOT ZIG_LAUNCHERS)
  set(ZIG_LAUNCHERS "${CMAKE_BINARY_DIR}/zig-launchers/${ZIG_TARGET}")
endif()
set(_suffix "")
if(CMAKE_HOST_WIN32)
  set(_suffix ".cmd")
endif()
foreach(tool cc c++ ar ranlib)
  set(_args "${tool}")
  if(tool STREQUAL "cc" OR tool STREQUAL "c++")
    set(_args "${tool} -target ${ZIG_TARGET}")
  endif()
  set(_launcher "${ZIG_LAUNCHERS}/zig-${tool}${_suffix}")
  set(_text "#!/bin/sh\nexec \"${ZIG_EXECUTABLE}\" ${_args} \"$@\"\n")
  if(CMAKE_HOST_WIN32)
    set(_text "@\"${ZIG_EXECUTABLE}\" ${_args} %*\r\n")
  endif()
  set(_old "")
  if(EXISTS "${_launcher}")
    file(READ "${_launcher}" _old)
  endif()
  if(NOT _old STREQUAL _text)
    file(WRITE "${_launcher}.tmp" "${_text}")
    file(CHMOD "${_launcher}.tmp" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    file(RENAME "${_launcher}.tmp" "${_launcher}")
  endif()
endforeach()
set(CMAKE_C_COMPILER "${ZIG_LAUNCHERS}/zig-cc${_suffix}")
set(CMAKE_CXX_COMPILER "${ZIG_LAUNCHERS}/zig-c++${_suffix}")
set(CMAKE_AR "${ZIG_LAUNCHERS}/zig-ar${_suffix}" CACHE FILEPATH "")
set(CMAKE_RANLIB "${ZIG_LAUNCHERS}/zig-ranlib${_suffix}" CACHE FILEPATH "")

# Headers and libraries of the target come from zig and from folders named explicitly, never from
# this machine's system folders.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/zig-rules.cmake")
