# Cross build for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64-posix: GoogleTest needs std::mutex, which the win32
# thread model of GCC 12 lacks); programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(PAIRDOT_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PAIRDOT_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PAIRDOT_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${PAIRDOT_MINGW}-windres)
set(CMAKE_DLLTOOL ${PAIRDOT_MINGW}-dlltool)

# Headers, libraries and packages only from the MinGW tree; never this
# machine's MPI (no mpicxx wrapper, no mpi-cxx.pc).
set(CMAKE_FIND_ROOT_PATH /usr/${PAIRDOT_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} /usr/${PAIRDOT_MINGW}/lib/pkgconfig)
set(MPI_GUESS_LIBRARY_NAME MSMPI)
set(MPI_SKIP_COMPILER_WRAPPER ON)

# The C and C++ runtimes of GCC linked in: the programs need no MinGW DLL.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

find_program(PAIRDOT_WINE wine)
if(PAIRDOT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PAIRDOT_WINE})
endif()
