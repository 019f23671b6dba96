# Cross-building for Windows x86-64 with Debian's mingw-w64 (the POSIX thread
# model, so std::thread and friends link against winpthreads).
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DVELLICOR_CRYPTOPP_ROOT=<Crypto++ built for mingw-w64>
#
# Everything is linked statically, so vellicor.exe needs no DLL beside it:
# libgcc, libstdc++, winpthreads, zlib and Crypto++ all go into the exe.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELLICOR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELLICOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELLICOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELLICOR_MINGW_TRIPLE}-windres)
set(CMAKE_AR /usr/bin/${VELLICOR_MINGW_TRIPLE}-ar CACHE FILEPATH "archiver")
set(CMAKE_RANLIB /usr/bin/${VELLICOR_MINGW_TRIPLE}-ranlib CACHE FILEPATH "ranlib")
set(CMAKE_OBJDUMP /usr/bin/${VELLICOR_MINGW_TRIPLE}-objdump CACHE FILEPATH "objdump")

# Libraries and headers for the target only; programs (cmake, sh) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VELLICOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libz.a, not the import library of zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs (and GoogleTest's discovery of their cases) run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
