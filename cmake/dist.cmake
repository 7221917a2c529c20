# What `cmake --install` puts where, and the release archive that CPack makes
# of it (`make dist`): the usual prefix layout on Linux, and for Windows one
# flat folder whose rawgraft.exe a player copies into the game folder.
include(GNUInstallDirs)

# The player's guide is the README that players get: README.txt beside the
# exe, README in the documentation folder on Linux.
if(WIN32)
  install(TARGETS rawgraft RUNTIME DESTINATION .)
  # Older Notepads show text with bare LF line ends as one long line.
  foreach(dist_pair "doc/players.md=README.txt" "LICENSE=LICENSE")
    string(REPLACE "=" ";" dist_pair ${dist_pair})
    list(GET dist_pair 0 dist_file)
    list(GET dist_pair 1 dist_name)
    file(READ ${CMAKE_CURRENT_SOURCE_DIR}/${dist_file} dist_content)
    string(REPLACE "\r\n" "\n" dist_content "${dist_content}")
    string(REPLACE "\n" "\r\n" dist_content "${dist_content}")
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${dist_name} "${dist_content}")
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${dist_name} DESTINATION .)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${dist_file})
  endforeach()
else()
  install(TARGETS rawgraft RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES doc/rawgraft.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES doc/players.md DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME README)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_VENDOR "the rawgraft authors")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  math(EXPR dist_bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win${dist_bits})
  # Explorer's "Extract all" makes a folder named after the archive already.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  string(TOLOWER ${CMAKE_SYSTEM_NAME} dist_system)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME
    ${PROJECT_NAME}-${PROJECT_VERSION}-${dist_system}-${CMAKE_SYSTEM_PROCESSOR})
endif()
include(CPack)
