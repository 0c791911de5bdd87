# Cross-build for 64-bit Windows with Debian's MinGW-w64 toolchain (the posix
# thread model, so std::thread and std::mutex work), linking the GCC runtime,
# libstdc++ and winpthread statically: brenix.exe needs no DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C99 printf family (%zu, %lld) instead of the Microsoft runtime's, and
# Windows 8 APIs.
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1 -D_WIN32_WINNT=0x0602 -DUNICODE -D_UNICODE")
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1 -D_WIN32_WINNT=0x0602")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run the .exe files through wine on the build machine.
find_program(BRENIX_WINE NAMES wine64 wine)
if(BRENIX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BRENIX_WINE})
endif()
