# make install / make package: both programs, the desktop entry, the icon and
# the udev rule that lets the logged-in user reach the encoder.
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
