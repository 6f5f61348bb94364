# Install rules and packages. Linux: stiscan in bin/, the library and the platform layer it loads in
# lib/wiastiio/, found through RUNPATHs relative to each binary, so that the tree works wherever it is
# unpacked; cpack makes a .deb. Windows: the library, the tool and the test doubles side by side, as
# the loader finds them; cpack makes a .zip.

if(WIN32)
  install(TARGETS WIASTIIO prtmon64 portarb RUNTIME DESTINATION . LIBRARY DESTINATION .)
  # The capturing device monitor, in a folder of its own (docs/CAPTURE.md).
  install(TARGETS capture_prtmon64 RUNTIME DESTINATION capture LIBRARY DESTINATION capture)
  if(TARGET stiscan)
    install(TARGETS stiscan RUNTIME DESTINATION .)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x64)
else()
  include(GNUInstallDirs)
  set(WIASTIIO_LIBDIR ${CMAKE_INSTALL_LIBDIR}/wiastiio)
  set_target_properties(WIASTIIO winplat PROPERTIES BUILD_RPATH_USE_ORIGIN ON INSTALL_RPATH "$ORIGIN")
  install(TARGETS WIASTIIO winplat LIBRARY DESTINATION ${WIASTIIO_LIBDIR})
  if(TARGET stiscan)
    set_target_properties(stiscan PROPERTIES BUILD_RPATH_USE_ORIGIN ON INSTALL_RPATH "$ORIGIN/../${WIASTIIO_LIBDIR}")
    install(TARGETS stiscan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, zlib1g, libtiff6, libjpeg62-turbo")
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
endif()

set(CPACK_PACKAGE_NAME wiastiio)
set(CPACK_PACKAGE_VENDOR "WIASTIIO")
set(CPACK_PACKAGE_CONTACT "WIASTIIO maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Still-image I/O library for a USB document scanner, and the stiscan tool")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY wiastiio)
include(CPack)
