# Cross-builds the module as the 32-bit Windows DLL (zipext.dll) with
# MinGW-w64 from a Linux machine:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# Debian/Ubuntu packages: g++-mingw-w64-i686 libz-mingw-w64-dev.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ZIPEXT_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ZIPEXT_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZIPEXT_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${ZIPEXT_MINGW_TRIPLE}-windres)

# Headers and libraries come from the cross sysroot only; programs (cmake's
# own helpers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ZIPEXT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The engine loads the DLL on machines that carry no MinGW runtime and no
# zlib1.dll: zlib, libgcc, libstdc++ and winpthread are linked in, so the
# DLL imports nothing but system libraries.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# The test executables likewise, so that wine runs them without those DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
