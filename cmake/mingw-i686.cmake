set(VANTREL_TRIPLE i686-w64-mingw32)
set(VANTREL_MANIFEST_ARCH x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
