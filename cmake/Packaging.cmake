# make install / make package: both programs, the desktop entry, the icon, the
# udev rule that lets the logged-in user reach the encoder, the manual pages,
# bash completion, AppStream metadata, and Debian's copyright and changelog.
include(GNUInstallDirs)

foreach(program vardo-encoder-utility vardo-encoder)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(FILES packaging/vardo-encoder-utility.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/vardo-encoder-utility.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# The operator puts the loader texts of a real encoder here (or in the user's folder).
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_DATADIR}/vardo-encoder-utility/loader)
# udev reads rules from /lib/udev/rules.d (packages) and /etc/udev/rules.d (admins).
install(FILES packaging/70-vardo-encoder.rules DESTINATION lib/udev/rules.d)
install(FILES packaging/example.vardo_interface.encoder_utility.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES packaging/vardo-encoder.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vardo-encoder)

# Debian wants the copyright and a changelog whose newest entry is this version.
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/vardo-encoder-utility)
set(package_out ${PROJECT_BINARY_DIR}/packaging)
file(STRINGS packaging/changelog newest_entry LIMIT_COUNT 1)
if(NOT newest_entry MATCHES "^vardo-encoder-utility \\(${PROJECT_VERSION}\\.0\\) ")
  message(FATAL_ERROR "packaging/changelog: the newest entry is not version ${PROJECT_VERSION}.0; add one")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
file(MAKE_DIRECTORY ${package_out}/man)
execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog
  OUTPUT_FILE ${package_out}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES packaging/copyright ${package_out}/changelog.gz DESTINATION ${doc_dir})

# The manual pages are made from the programs' own --help and --version, so
# they cannot say other than the programs; packaging/*.h2m adds FILES and SEE ALSO.
set(VARDO_MAN_PAGES AUTO CACHE STRING "Make the manual pages with help2man: ON, OFF or AUTO (when it is installed)")
find_program(HELP2MAN help2man)
if(VARDO_MAN_PAGES STREQUAL "ON" AND NOT HELP2MAN)
  message(FATAL_ERROR "VARDO_MAN_PAGES=ON needs help2man (scripts/install-deps --package)")
endif()
set(VARDO_MAN_PAGE_FILES "")
# Sanitizer builds are never packaged: they neither make pages nor check the package.
if(HELP2MAN AND NOT VARDO_MAN_PAGES STREQUAL "OFF" AND NOT VARDO_SANITIZE)
  foreach(program vardo-encoder-utility vardo-encoder)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${package_out}/man/${program}.1)
    # The command-line tool's COMMANDS section comes from its help of each command.
    set(commands ${package_out}/man/${program}-commands.h2m)
    set(includes ${PROJECT_SOURCE_DIR}/packaging/${program}.h2m ${PROJECT_SOURCE_DIR}/packaging/manpage-files.h2m)
    if(program STREQUAL "vardo-encoder")
      list(APPEND includes ${commands})
      add_custom_command(OUTPUT ${commands}
        COMMAND ${PROJECT_SOURCE_DIR}/scripts/man-commands $<TARGET_FILE:${program}> ${commands}
        DEPENDS ${program} ${PROJECT_SOURCE_DIR}/scripts/man-commands VERBATIM)
    endif()
    list(TRANSFORM includes PREPEND --include= OUTPUT_VARIABLE include_options)
    add_custom_command(OUTPUT ${page} ${page}.gz
      COMMAND ${HELP2MAN} --no-info --no-discard-stderr ${include_options}
              --output=${page} $<TARGET_FILE:${program}>
      COMMAND gzip -9nkf ${page}
      DEPENDS ${program} ${includes}
      COMMENT "Manual page ${program}(1)" VERBATIM)
    list(APPEND VARDO_MAN_PAGE_FILES ${page})
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${VARDO_MAN_PAGE_FILES})
elseif(NOT HELP2MAN)
  message(STATUS "help2man not found: no manual pages (scripts/install-deps --package installs it)")
endif()

# The package's checks; each is skipped when its checker is not installed.
if(VARDO_BUILD_TESTS AND NOT VARDO_SANITIZE)
  set(check ${PROJECT_SOURCE_DIR}/scripts/check-packaging)
  add_test(NAME package_desktop_entry
    COMMAND ${check} desktop ${PROJECT_SOURCE_DIR}/packaging/vardo-encoder-utility.desktop)
  add_test(NAME package_metainfo COMMAND ${check} metainfo
    ${PROJECT_SOURCE_DIR}/packaging/example.vardo_interface.encoder_utility.metainfo.xml)
  add_test(NAME package_man_pages COMMAND ${check} man ${VARDO_MAN_PAGE_FILES})
  add_test(NAME package_lintian COMMAND ${check} lintian ${PROJECT_BINARY_DIR} ${CMAKE_CPACK_COMMAND})
  set_tests_properties(package_desktop_entry package_metainfo package_man_pages package_lintian
    PROPERTIES SKIP_RETURN_CODE 77)
  if(TARGET vardo-encoder-demo)
    add_test(NAME package_bash_completion COMMAND ${check} completion
      ${PROJECT_SOURCE_DIR}/packaging/vardo-encoder.bash-completion $<TARGET_FILE:vardo-encoder-demo>)
    set_tests_properties(package_bash_completion PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vardo-encoder-utility)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}.0)
set(CPACK_PACKAGE_CONTACT "Vardo Interface support <support@vardo-interface.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Configuration utility for Vardo 710 / 710i USB keyboard encoders")
set(CPACK_PACKAGE_DESCRIPTION "A desktop program (vardo-encoder-utility) and a command-line tool
(vardo-encoder) that show the encoder's model, firmware version and keypad
layout, set its LED, buzzer and layout, edit its customised code tables, run
its self test, keep its settings in a configuration file and replace its
firmware through its USB bootstrap loader. A udev rule gives the logged-in
user access to the encoder.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Found by no library scan: Qt loads its platform plugin (xcb) at run time, and
# the fixed-size windows were measured with Liberation Sans.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "udev, qt6-qpa-plugins, fonts-liberation2")
set(CPACK_STRIP_FILES ON)
# Applies the udev rule to an encoder that is already plugged in.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
