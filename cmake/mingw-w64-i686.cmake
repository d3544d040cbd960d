# 32-bit Windows, tested under wine's 32-bit loader.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(WINE_LOADER_NAME wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
