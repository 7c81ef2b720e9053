# Release packages with CPack: on Windows (the cross build) a zip with the programs, the README
# and the example maps, and an installer of the same files (NSIS, makensis from Debian's nsis);
# on Linux a .deb with the programs, their man pages and a desktop entry.
# scripts/package.sh makes them and checks them.
include(GNUInstallDirs)

set(velmora_programs velmora velmora-cli velmora-sim velmora-mapgen)
if(NOT WIN32)
  list(APPEND velmora_programs velmora-seal)
endif()
foreach(program ${velmora_programs})
  # Left out of the build (no wxWidgets, no OpenSSL): left out of the package.
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
  endif()
endforeach()

set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Velmora developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Writes mappings into a handset's block store over a serial line")
set(CPACK_PACKAGE_CONTACT "Velmora developers <velmora@localhost>")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT programs)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION examples COMPONENT programs
    PATTERN ".git*" EXCLUDE)
  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  # The installer's own template: per user, HKCU, the Start-menu entry and the .map association.
  list(PREPEND CMAKE_MODULE_PATH ${PROJECT_SOURCE_DIR}/packaging/windows)
  set(CPACK_VELMORA_ICON ${PROJECT_SOURCE_DIR}/gui/win32/velmora.ico)
  # velmora-1.3-win64.zip beside velmora-1.3-win64-setup.exe.
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/windows/cpack_per_generator.cmake)
else()
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/man/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT programs FILES_MATCHING PATTERN "*.1")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/velmora.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT programs)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/velmora.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps COMPONENT programs)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velmora COMPONENT programs)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velmora/examples
    COMPONENT programs PATTERN ".git*" EXCLUDE)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The libraries the programs link (wxWidgets, OpenSSL) become the package's dependencies.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
