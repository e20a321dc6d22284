# Packages made by CPack from an installed tree:
#   cpack --config build/CPackConfig.cmake      (in the build folder: cpack)
# On Linux a Debian package with both programs, their manual pages, the
# bash completion, and the changelog and copyright file where Debian keeps
# them; on Windows a zip of both .exe files and the text documentation.

set(CPACK_PACKAGE_NAME ringlens)
set(CPACK_PACKAGE_VENDOR "ringlens developers")
set(CPACK_PACKAGE_CONTACT "ringlens developers <ringlens@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "format binary trace data files and process dumps as text")
set(CPACK_PACKAGE_DESCRIPTION "ringlens writes the trace held in a trace data file, or in a process
dump holding a memory ring of trace records, as text lines.
ringlens-tool inspects a trace, extracts it from a large dump into a
small one, and exports its records as JSON Lines or CSV.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "ringlens-${PROJECT_VERSION}-windows-x86_64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  install(FILES README.md packaging/changelog packaging/copyright DESTINATION .)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")
  find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
  # Debian keeps a package's changelog gzipped and its copyright file as it
  # is, in /usr/share/doc/PACKAGE.
  set(packaging_doc ${CMAKE_INSTALL_DATADIR}/doc/ringlens)
  set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
  add_custom_command(OUTPUT ${changelog_gz}
    COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/packaging/changelog -DOUT=${changelog_gz}
            -P ${PROJECT_SOURCE_DIR}/cmake/gzip-file.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
  add_custom_target(ringlens_changelog ALL DEPENDS ${changelog_gz})
  install(FILES ${changelog_gz} packaging/copyright DESTINATION ${packaging_doc})
endif()

include(CPack)
