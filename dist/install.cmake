# Installation: the two programs, their man pages, and samples of a store
# directory, a systemd unit, its environment file and a logrotate entry under
# share/davrilon/. With DAVRILON_INSTALL_SYSTEM_FILES the unit and the
# environment file are installed where systemd and the unit look for them, as
# the Debian package does (scripts/package.sh builds it with cpack).
include(GNUInstallDirs)
option(DAVRILON_INSTALL_SYSTEM_FILES
       "Install the systemd unit into lib/systemd/system and the environment file into /etc/default"
       OFF)

install(TARGETS davrilon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET davrilon-sim)
  install(TARGETS davrilon-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Man pages go out compressed, as Debian keeps them; without gzip as they are.
find_program(DAVRILON_GZIP gzip)
set(davrilon_man_pages)
foreach(page davrilon.8 davrilon-sim.1)
  string(REGEX MATCH "[0-9]$" section ${page})
  set(source ${CMAKE_CURRENT_LIST_DIR}/${page})
  if(DAVRILON_GZIP)
    set(copy ${CMAKE_BINARY_DIR}/man/${page})
    add_custom_command(OUTPUT ${copy}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
      COMMAND ${DAVRILON_GZIP} -9nf ${copy}
      DEPENDS ${source} VERBATIM)
    list(APPEND davrilon_man_pages ${copy}.gz)
    install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  else()
    install(FILES ${source} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endif()
endforeach()
add_custom_target(man_pages ALL DEPENDS ${davrilon_man_pages})

# The unit names the installed program.
configure_file(${CMAKE_CURRENT_LIST_DIR}/davrilon.service.in ${CMAKE_BINARY_DIR}/davrilon.service @ONLY)
set(davrilon_share ${CMAKE_INSTALL_DATADIR}/davrilon)
install(FILES ${CMAKE_BINARY_DIR}/davrilon.service ${CMAKE_CURRENT_LIST_DIR}/logrotate
              ${CMAKE_CURRENT_LIST_DIR}/default
        DESTINATION ${davrilon_share})
# A store directory as the station expects it: MODEM.CFG (COM1, modem only,
# quiet speaker) and the INFO and DETAL directories, empty.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/store/MODEM.CFG DESTINATION ${davrilon_share}/store)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/empty-dir)
foreach(dir INFO DETAL)
  install(DIRECTORY ${CMAKE_BINARY_DIR}/empty-dir/ DESTINATION ${davrilon_share}/store/${dir})
endforeach()

if(DAVRILON_INSTALL_SYSTEM_FILES)
  install(FILES ${CMAKE_BINARY_DIR}/davrilon.service DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
          RENAME davrilon)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# The Debian package: cpack -G DEB in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr -DDAVRILON_INSTALL_SYSTEM_FILES=ON.
set(CPACK_PACKAGE_NAME davrilon)
set(CPACK_PACKAGE_VENDOR "DAVRILON")
set(CPACK_PACKAGE_CONTACT "DAVRILON developers <davrilon@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "store communication station for dial-up exchanges with the head office")
set(CPACK_PACKAGE_DESCRIPTION
    "DAVRILON runs all day on a store's PC. It answers the head office's calls on a\n"
    "dial-up modem (a serial device or an RFC 2217 network serial port), runs one\n"
    "exchange per call, supervises the store's software through exchange files and\n"
    "writes an event log. The package runs it as the service davrilon.service, as\n"
    "user davrilon in the store directory /var/lib/davrilon/store.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ser2net")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/davrilon\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
if(DAVRILON_INSTALL_SYSTEM_FILES)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
endif()
set(CPACK_GENERATOR DEB)
include(CPack)
