# Shared part of the MinGW-w64 cross toolchains; the including file sets
# BUILDSWEEP_MINGW_TRIPLET (i686-w64-mingw32 or x86_64-w64-mingw32).
set(CMAKE_SYSTEM_NAME Windows)
# The POSIX thread model: the standard library then has std::mutex, which
# GoogleTest needs. Linked statically, it costs the executable no DLL.
set(CMAKE_C_COMPILER ${BUILDSWEEP_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BUILDSWEEP_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${BUILDSWEEP_MINGW_TRIPLET}-windres)

# Headers, libraries and packages (GoogleTest) come from the target's tree
# or an explicitly given prefix, never from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${BUILDSWEEP_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# With wine installed, ctest runs the Windows test executables through it.
find_program(BUILDSWEEP_WINE wine)
if(BUILDSWEEP_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BUILDSWEEP_WINE})
endif()
