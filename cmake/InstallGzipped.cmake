# wiastiio_install_gzipped(SOURCE DESTINATION): installs SOURCE as DESTINATION/NAME.gz, compressed as
# Debian wants manual pages and changelogs (gzip -9n: best compression, no name or time stamp inside,
# so that the same sources give the same package).
function(wiastiio_install_gzipped source destination)
  get_filename_component(name ${source} NAME)
  string(MAKE_C_IDENTIFIER "${destination}/${name}" id)
  set(folder ${CMAKE_BINARY_DIR}/gzipped/${id})
  add_custom_command(OUTPUT ${folder}/${name}.gz
                     COMMAND ${CMAKE_COMMAND} -E copy ${source} ${folder}/${name}
                     COMMAND gzip -9nf ${folder}/${name}
                     DEPENDS ${source} VERBATIM)
  add_custom_target(gzip_${id} ALL DEPENDS ${folder}/${name}.gz)
  install(FILES ${folder}/${name}.gz DESTINATION ${destination})
endfunction()

# wiastiio_install_manual(SOURCE DESTINATION): a manual page with @WIASTIIO_BUGS_TEXT@ (where to report
# problems, a build setting) filled in, installed gzipped.
function(wiastiio_install_manual source destination)
  get_filename_component(name ${source} NAME)
  configure_file(${source} ${CMAKE_BINARY_DIR}/manual/${name} @ONLY)
  wiastiio_install_gzipped(${CMAKE_BINARY_DIR}/manual/${name} ${destination})
endfunction()
