# Loaded after CMake's platform files (CMAKE_USER_MAKE_RULES_OVERRIDE of zig-toolchain.cmake).
# zig's Mach-O linker crashes on -bundle (0.15.2); a module linked as a dylib loads into Python
# the same way.
if(CMAKE_SYSTEM_NAME STREQUAL "Darwin")
  set(CMAKE_SHARED_MODULE_CREATE_C_FLAGS "-shared -Wl,-headerpad_max_install_names")
  set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared -Wl,-headerpad_max_install_names")
endif()
