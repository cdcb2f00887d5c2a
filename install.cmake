# What `cmake --install` lays out, and the Debian package built from the
# same layout with `cpack -G DEB`.

install(TARGETS tarn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The two directories the default fpath names, so a new installation has
# somewhere to put functions and every fpath entry exists.
install(DIRECTORY DESTINATION ${TARN_DATADIR}/site-functions)
install(DIRECTORY DESTINATION ${TARN_DATADIR}/${PROJECT_VERSION}/functions)
install(FILES ${CMAKE_SOURCE_DIR}/docs/tarnrc.example DESTINATION ${TARN_DATADIR})
set(TARN_MANPAGES tarn.1 tarn-ked.1 tarn-completion.1 tarn-modules.1)
list(TRANSFORM TARN_MANPAGES PREPEND ${CMAKE_SOURCE_DIR}/docs/man/ OUTPUT_VARIABLE tarn_manfiles)
install(FILES ${tarn_manfiles} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The package installs where the binary looks: at the configured prefix.
set(CPACK_PACKAGE_NAME tarn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Unix command shell with a line editor and programmable completion")
set(CPACK_PACKAGE_CONTACT "tarn developers <tarn@invalid>" CACHE STRING "Maintainer named in the package")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION shells)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(TARN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARN_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
endif()
# A login shell must be listed in /etc/shells; the maintainer scripts add
# and remove the installed path (and /bin/tarn where /bin is /usr/bin).
set(TARN_SHELL_PATH ${CMAKE_INSTALL_FULL_BINDIR}/tarn)
foreach(script postinst postrm)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/${script}.in ${CMAKE_BINARY_DIR}/packaging/${script}
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/postinst ${CMAKE_BINARY_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
