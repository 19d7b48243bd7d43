# Cross-compiling the agent for 32-bit Windows with the i686 MinGW-w64 compilers (posix threads,
# as Qt for Windows was built with them) against the static Qt that scripts/win32-qt.sh installs.
#   cmake -DCMAKE_TOOLCHAIN_FILE=scripts/win32-toolchain.cmake -DVELMORA_WIN32_QT=<prefix> ...
# Programs are static executables that import system DLLs only; ctest runs them under Wine
# through scripts/wine-run.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

if(NOT VELMORA_WIN32_QT)
    set(VELMORA_WIN32_QT "$ENV{VELMORA_WIN32_QT}")
endif()
if(NOT VELMORA_WIN32_QT OR NOT EXISTS "${VELMORA_WIN32_QT}/lib/cmake/Qt5/Qt5Config.cmake")
    message(FATAL_ERROR "VELMORA_WIN32_QT must name the Qt for Windows that scripts/win32-qt.sh "
                        "installed (got '${VELMORA_WIN32_QT}')")
endif()
# Passed on to the test projects that try_compile makes.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMORA_WIN32_QT)

set(CMAKE_FIND_ROOT_PATH "${VELMORA_WIN32_QT}" /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(Qt5_DIR "${VELMORA_WIN32_QT}/lib/cmake/Qt5" CACHE PATH "Qt for Windows")

# No DLLs of the compiler beside the programs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

get_filename_component(_velmora_scripts "${CMAKE_CURRENT_LIST_DIR}" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_velmora_scripts}/wine-run.sh")
