# Installation and the Debian package. Included from the top-level CMakeLists.txt after every
# program target exists.
include(GNUInstallDirs)

# Installing and packaging take what was built (cmake --build first) instead of walking every
# target of the tree again, which costs cpack more than the package itself.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(lrpt_programs tarnwick haldrin tarnwick-batch haldrin-batch lrpt-synth lrpt-decode lrpt-passes)
set(lrpt_installed)
foreach(program IN LISTS lrpt_programs)
  if(TARGET ${program})
    list(APPEND lrpt_installed ${program})
  endif()
endforeach()
install(TARGETS ${lrpt_installed} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Menu entries and icons of the two windowed programs.
foreach(program tarnwick haldrin)
  if(TARGET ${program})
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/${program}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/${program}.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# cpack -G DEB: one package with every program; the runtime libraries it needs are found by
# dpkg-shlibdeps from the programs themselves.
set(CPACK_PACKAGE_NAME "lrpt-ground-station")
set(CPACK_PACKAGE_VENDOR "LRPT ground station developers")
set(CPACK_PACKAGE_CONTACT "LRPT ground station developers <lrpt@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LRPT weather satellite demodulator (Haldrin) and decoder (Tarnwick)")
set(CPACK_PACKAGE_DESCRIPTION
    "Turns a recording of the LRPT downlink of the Meteor-M N2 weather satellites into pictures:\n"
    "Haldrin demodulates complex baseband in a WAV file into soft symbols, Tarnwick decodes them into\n"
    "the six imager channels and an RGB composite. With batch forms of both and a synthetic signal\n"
    "generator.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "hamradio")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/lrpt-ground-station")
include(CPack)
