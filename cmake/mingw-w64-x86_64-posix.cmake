# Cross-compiles for 64-bit Windows with MinGW-w64's posix thread model: the unit tests' simulated Windows
# uses std::thread and std::mutex, which the win32 thread model of the release build's compiler lacks.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
