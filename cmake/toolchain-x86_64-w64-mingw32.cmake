# Cross-compiles the 64-bit Windows (x64) executable with MinGW-w64.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(BUILDSWEEP_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
