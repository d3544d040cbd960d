# Cross build for Windows with mingw-w64, for the CMAKE_SYSTEM_PROCESSOR and
# WINE_LOADER_NAME that the including toolchain file sets. The tests start the
# result under wine's loader itself rather than the wine script: on a kernel
# that cannot run the loader, starting it then fails plainly (Exec format
# error), and the test driver can tell that apart from a real failure.
set(CMAKE_SYSTEM_NAME Windows)
set(triple ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
find_program(WINE_LOADER ${WINE_LOADER_NAME} PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(WINE_LOADER ${WINE_LOADER_NAME})
