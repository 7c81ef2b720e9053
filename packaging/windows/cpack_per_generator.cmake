# Read by cpack once per generator. The installer's name says what it is; its files go straight
# into the install folder (the zip's top-level folder means nothing to it).
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME}-setup")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
endif()
