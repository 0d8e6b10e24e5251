# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads,
# so std::thread and std::mutex exist). Tests and other built programs run
# under Wine through cmake/wine-run.sh.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELDAR2_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELDAR2_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELDAR2_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELDAR2_MINGW_TRIPLE}-windres)

# Libraries and headers come from the MinGW tree only; programs (cmake's own
# helpers, the shell) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VELDAR2_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every built .exe (tests, test discovery) runs under Wine in a private prefix
# of the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
