# Run by cpack after it has made the .deb and the -dbgsym .ddeb (CPACK_POST_BUILD_SCRIPTS): mends
# what CPack's DEB generator (CMake 3.25) does that Debian does not accept, and builds each package
# again with dpkg-deb.
#   - The postinst and postrm it writes to run ldconfig, because a library lies under /usr/lib: ours
#     are private (lib/wiastiio/, reached through RUNPATHs), so ldconfig has nothing to do.
#   - The -dbgsym package's md5sums, which name the files by the absolute paths of CPack's work
#     folder; and its documentation, which Debian takes from the package it belongs to (a symbolic
#     link /usr/share/doc/PKG-dbgsym -> PKG, allowed because it depends on PKG of the same version).
#   - Our own postinst (CPACK_WIASTIIO_POSTINST) takes the place of that one in the product's package.
#   - Installed-Size, which it counts before stripping the binaries: counted again as dpkg-gencontrol
#     does (each file's size in KiB rounded up, one for each folder and link).
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.d?deb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/fixup)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${DPKG_DEB} --raw-extract ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  foreach(script postinst postrm)
    if(EXISTS ${tree}/DEBIAN/${script})
      file(READ ${tree}/DEBIAN/${script} text)
      string(REGEX REPLACE "[ \t\n]" "" compact "${text}")
      if(compact MATCHES "^#!/bin/shset-eif\\[\"\\$1\"=\"(configure|remove)\"\\];thenldconfigfi$")
        file(REMOVE ${tree}/DEBIAN/${script})
      endif()
    endif()
  endforeach()
  if(CPACK_WIASTIIO_POSTINST AND NOT package MATCHES "\\.ddeb$")
    file(COPY_FILE ${CPACK_WIASTIIO_POSTINST} ${tree}/DEBIAN/postinst)
    file(CHMOD ${tree}/DEBIAN/postinst PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                   WORLD_READ WORLD_EXECUTE)
  endif()
  if(package MATCHES "\\.ddeb$")
    file(STRINGS ${tree}/DEBIAN/control name REGEX "^Package: ")
    string(REGEX REPLACE "^Package: (.*)-dbgsym$" "\\1" owner "${name}")
    file(MAKE_DIRECTORY ${tree}/usr/share/doc)
    file(CREATE_LINK ${owner} ${tree}/usr/share/doc/${owner}-dbgsym SYMBOLIC)
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/usr/*)
    list(SORT files)
    set(sums "")
    foreach(file IN LISTS files)
      if(NOT IS_SYMLINK ${tree}/${file})
        file(MD5 ${tree}/${file} sum)
        string(APPEND sums "${sum}  ${file}\n")
      endif()
    endforeach()
    file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
  endif()
  file(GLOB_RECURSE entries LIST_DIRECTORIES true ${tree}/*)
  set(kib 0)
  foreach(entry IN LISTS entries)
    if(entry MATCHES "^${tree}/DEBIAN(/|$)")
      continue()
    endif()
    if(IS_DIRECTORY ${entry} OR IS_SYMLINK ${entry})
      math(EXPR kib "${kib} + 1")
    else()
      file(SIZE ${entry} bytes)
      math(EXPR kib "${kib} + (${bytes} + 1023) / 1024")
    endif()
  endforeach()
  file(READ ${tree}/DEBIAN/control control)
  string(REGEX REPLACE "\nInstalled-Size: [0-9]+" "\nInstalled-Size: ${kib}" control "${control}")
  file(WRITE ${tree}/DEBIAN/control "${control}")
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group --build ${tree} ${package}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
