# Cross-compiling for Windows with Debian's mingw-w64 toolchain (i686,
# posix thread model).
set(KELTOS3_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
