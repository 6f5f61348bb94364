# Install rules and packages. Linux: stiscan in bin/, the library and the platform layer it loads in
# lib/wiastiio/, found through RUNPATHs relative to each binary, so that the tree works wherever it is
# unpacked; cpack makes a .deb. Windows: the library and the tool side by side, as the loader finds
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
  install(FILES LICENSE packaging/NOTICES DESTINATION .)
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
  # The documentation Debian asks of every package, and stiscan's manual page.
  set(WIASTIIO_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/wiastiio)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${WIASTIIO_DOC_DIR})
  wiastiio_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${WIASTIIO_DOC_DIR})
  if(TARGET stiscan)
    wiastiio_install_manual(${PROJECT_SOURCE_DIR}/tools/stiscan/stiscan.1 ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  # What a capture holds and how to send one, which both manual pages point to.
  install(FILES ${PROJECT_SOURCE_DIR}/docs/CAPTURE.md DESTINATION ${WIASTIIO_DOC_DIR})
  # After installing, a scanner plugged in before is offered to udev again, so that the rule applies
  # without replugging (the udev triggers come from the SANE backend's rule).
  get_property(udev_triggers GLOBAL PROPERTY WIASTIIO_UDEV_TRIGGERS)
  if(udev_triggers)
    list(JOIN udev_triggers "\n" udev_triggers)
    file(WRITE ${CMAKE_BINARY_DIR}/packaging/postinst "#!/bin/sh
# A scanner plugged in before the package was installed gets the udev rule's permissions now; where
# udev is not running (a container, a chroot) there is nothing to do.
set -e
if [ \"$1\" = configure ] && [ -S /run/udev/control ] && command -v udevadm >/dev/null 2>&1; then
  udevadm control --reload-rules || true
${udev_triggers}
fi
")
    set(CPACK_WIASTIIO_POSTINST ${CMAKE_BINARY_DIR}/packaging/postinst)
  endif()

  set(CPACK_GENERATOR DEB)
  # The dependencies are those of the binaries (dpkg-shlibdeps), the private libraries in
  # lib/wiastiio/ found through the RUNPATHs. The binaries are shipped stripped; their debug
  # information goes into wiastiio-dbgsym, found by build id (/usr/lib/debug/.build-id/).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
  # scanimage; English for stiscan --ocr (other languages: tesseract-ocr-LANG).
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sane-utils, tesseract-ocr-eng")
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianPackageFixups.cmake)
  get_property(conffiles GLOBAL PROPERTY WIASTIIO_CONFFILES)
  if(conffiles)
    list(JOIN conffiles "\n" conffiles)
    file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "${conffiles}\n")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)
  endif()
endif()

set(CPACK_PACKAGE_NAME wiastiio)
set(CPACK_PACKAGE_VENDOR "WIASTIIO")
set(CPACK_PACKAGE_CONTACT "WIASTIIO maintainers <maintainers@wiastiio.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "I/O handler for a USB document scanner, with a SANE backend")
# The extended description, as Debian shows it: lines of at most 80 columns, paragraphs apart.
set(CPACK_PACKAGE_DESCRIPTION "WIASTIIO is the still-image I/O handler of a USB document scanner, a flatbed
with an automatic document feeder: the library that turns a scanning
program's calls into the scanner's command protocol (device information,
reserve, scan window, document position, image blocks, abort, release).

This package holds the library built for Linux, with the platform layer it
runs on, which reaches the scanner over libusb-1.0; the SANE backend
wiastiio, through which scanimage, saned and every SANE frontend scan; a
udev rule that gives the scanner to the user logged in at the machine; and
stiscan, a tool that scans pages to PNG, JPEG, TIFF, PDF or PNM. A built-in
simulated scanner lets both be tried without the hardware.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY wiastiio)
include(CPack)
