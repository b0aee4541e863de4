# Installation and the Debian package: `cmake --install BUILD` puts the program, its desktop
# entry and its icon under the prefix; `cpack --config BUILD/CPackConfig.cmake` makes the .deb.
include(GNUInstallDirs)

install(TARGETS karvello karvello-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The desktop entry and the software-centre entry take the name, version and description of
# project(), as the program and the package do.
configure_file(${CMAKE_CURRENT_LIST_DIR}/karvello.desktop.in
               ${CMAKE_BINARY_DIR}/packaging/karvello.desktop @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/karvello.metainfo.xml.in
               ${CMAKE_BINARY_DIR}/packaging/karvello.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/karvello.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_BINARY_DIR}/packaging/karvello.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# The icon: the drawing, and PNGs made from it (scripts/render-icons) for the sizes desktops look
# for first.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/karvello.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 16 32 48 64 128 256)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/icons/hicolor/${size}x${size}/apps/karvello.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME karvello)
set(CPACK_PACKAGE_VENDOR "Karvello")
set(CPACK_PACKAGE_CONTACT "Karvello maintainers <karvello@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; CPack indents these lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Karvello talks Modbus RTU at 9600 baud 8N1 to one detector \
on a serial port: it sets and reads the detector's bus address, has it measure the grounding \
resistance and reads the result, and reads its voltage, showing every frame sent and received.

karvello-sim, a simulated detector on a pseudo-terminal or a serial port, comes with it.")
# The Qt libraries (and the C and C++ runtimes) found in the binaries become the dependencies;
# libqt6gui6 brings the X11 and Wayland platform plugins with it. CPack adds them to the ones
# below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's captions are Chinese, set in a Song face: without any Chinese font they show as
# boxes. The Song face first, then the other Chinese fonts of Debian.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "fonts-arphic-uming | fonts-arphic-ukai | fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei")

include(CPack)
