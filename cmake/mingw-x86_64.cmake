set(VANTREL_TRIPLE x86_64-w64-mingw32)
set(VANTREL_MANIFEST_ARCH amd64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
