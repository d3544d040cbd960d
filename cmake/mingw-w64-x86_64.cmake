# 64-bit Windows, tested under wine's 64-bit loader.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(WINE_LOADER_NAME wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
