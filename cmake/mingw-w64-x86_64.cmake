# Cross-building for 64-bit Windows with mingw-w64 (Debian's
# g++-mingw-w64-x86-64-posix: the POSIX thread model, which std::thread and
# std::mutex need). Programs and tests run under Wine: CMake runs them through
# CMAKE_CROSSCOMPILING_EMULATOR where it runs them at all.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_MC_COMPILER ${MINGW_TRIPLE}-windmc)
set(CMAKE_DLLTOOL ${MINGW_TRIPLE}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(MORVALEN_WINE NAMES wine wine64)
if(MORVALEN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MORVALEN_WINE})
endif()
