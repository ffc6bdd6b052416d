# The shipped build: 32-bit Windows.
set(TAVIMO_MINGW_TRIPLE i686-w64-mingw32)
set(TAVIMO_MINGW_ARCH i686)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
