# The same sources for 64-bit Windows: runs the Windows-side tests under 64-bit Wine on
# machines whose kernel cannot execute 32-bit programs (and so cannot run 32-bit Wine).
set(TAVIMO_MINGW_TRIPLE x86_64-w64-mingw32)
set(TAVIMO_MINGW_ARCH x86_64)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
