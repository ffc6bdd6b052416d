# Shared by the two mingw-w64 toolchain files; TAVIMO_MINGW_TRIPLE names the target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TAVIMO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVIMO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVIMO_MINGW_TRIPLE}-windres)
# posix threads: the win32 thread model lacks std::thread, which GoogleTest needs
get_filename_component(_tavimo_cache "${CMAKE_CURRENT_LIST_DIR}/../.cache/${TAVIMO_MINGW_ARCH}" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/${TAVIMO_MINGW_TRIPLE} ${_tavimo_cache}/jpeg ${_tavimo_cache}/gtest)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
