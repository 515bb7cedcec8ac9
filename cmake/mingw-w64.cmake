# Cross-building the Windows programs with Debian's mingw-w64 (the POSIX
# thread model, so that std::thread and std::mutex work), against the
# libraries of the *-mingw-w64-dev packages. The test programs run under
# Wine (see CMAKE_CROSSCOMPILING_EMULATOR in the top CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SKIFF_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SKIFF_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SKIFF_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${SKIFF_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${SKIFF_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# One file per program: nothing of the C or C++ runtime to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
