# Cross-compiles the 32-bit Windows (x86) executable with MinGW-w64.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(BUILDSWEEP_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
