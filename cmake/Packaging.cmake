# Install rules and packages. Linux: stiscan in bin/, the library and the platform layer it loads in
# lib/wiastiio/, found through RUNPATHs relative to each binary, so that the tree works wherever it is
# unpacked; the Debian packages are made from these rules by debian/rules. Windows: the library and the tool side by side, as the loader finds
# them; cpack makes a .zip. The contention modules of the build folder are not shipped: beside the
# library they would stand in for the system's device monitor (stiscan --simulate is for the build
# folder; see docs/DESIGN.md, "The product's boundary").

if(WIN32 AND WIASTIIO_PDB)
  # The shipping .zip, the driver kit: the library and the tool, each with its PDB, the example INF and
  # the handler's INF lines, the kit's README, and the capturing device monitor with its PDB in
  # capture/. No test double: a prtmon64.dll beside the library would be loaded as the device monitor.
  # The integration contract: the headers the library is built from, in include/, and its import
  # libraries in lib/ (Microsoft's form and the mingw-w64 one).
  install(TARGETS WIASTIIO RUNTIME DESTINATION . LIBRARY DESTINATION . ARCHIVE DESTINATION lib)
  install(FILES ${WIASTIIO_IMPORT_LIB} DESTINATION lib)
  install(FILES wiastiio/include/WIASTIIO.h wiastiio/include/STIEscape.h DESTINATION include)
  install(FILES $<TARGET_FILE_DIR:WIASTIIO>/WIASTIIO.pdb windows/WIASTIIO.inf windows/ExampleScanner.inf
                windows/README-Windows.md DESTINATION .)
  # The licence, and the notices of the runtime parts linked into the binaries.
  install(FILES LICENSE NOTICES DESTINATION .)
  if(TARGET stiscan)
    install(TARGETS stiscan RUNTIME DESTINATION .)
    install(FILES $<TARGET_FILE_DIR:stiscan>/stiscan.pdb DESTINATION .)
  endif()
  # The capturing device monitor, in a folder of its own: beside the library only when a user
  # captures a session.
  install(TARGETS capture_prtmon64 RUNTIME DESTINATION capture LIBRARY DESTINATION capture)
  install(FILES $<TARGET_FILE_DIR:capture_prtmon64>/prtmon64.pdb docs/CAPTURE.md DESTINATION capture)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x64)
elseif(WIN32)
  install(TARGETS WIASTIIO RUNTIME DESTINATION . LIBRARY DESTINATION .)
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
  if(TARGET stiscan)
    wiastiio_install_manual(${PROJECT_SOURCE_DIR}/tools/stiscan/stiscan.1 ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  # What a capture holds and how to send one, which the manual pages point to.
  install(FILES ${PROJECT_SOURCE_DIR}/docs/CAPTURE.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/wiastiio)
  # The udev triggers of the SANE backend's rule, for the Debian package's postinst (debian/rules): a
  # scanner plugged in before the package was installed gets the rule's permissions without replugging.
  get_property(udev_triggers GLOBAL PROPERTY WIASTIIO_UDEV_TRIGGERS)
  list(JOIN udev_triggers "\n" udev_triggers)
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/udev-triggers "${udev_triggers}\n")
endif()

if(WIN32)
  set(CPACK_PACKAGE_NAME wiastiio)
  set(CPACK_PACKAGE_VENDOR "WIASTIIO")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "I/O handler for a USB document scanner")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_INSTALL_DIRECTORY wiastiio)
  include(CPack)
endif()
