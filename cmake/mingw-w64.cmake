# Cross build for 64-bit Windows with MinGW-w64. The -posix compilers carry
# the winpthreads thread model that std::thread and std::jthread need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUELMAR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUELMAR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUELMAR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUELMAR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUELMAR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything linked in, so an .exe runs on a machine without MinGW's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
