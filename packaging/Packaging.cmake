# Installation and the Debian packages: `cmake --install BUILD` puts the programs, their manual
# pages, the desktop entry, the software-centre entry, the icon, the licence and the changelog
# under the prefix; `cpack --config BUILD/CPackConfig.cmake` makes two .debs from the two install
# components:
#   window (package karvello): the bench window, its desktop entry, software-centre entry and
#     icons, and the Chinese font it needs;
#   cli (package karvello-cli): karvello-cli, the watch's service and karvello-sim, with none of
#     Qt's GUI libraries and no font, for a headless site box.
# scripts/check-packages checks both with lintian, appstreamcli and desktop-file-validate.
include(GNUInstallDirs)

# Who answers for the package: the Debian Maintainer field. A packager building their own .deb
# sets theirs with -DKARVELLO_MAINTAINER="Name <address>".
set(KARVELLO_MAINTAINER "Karvello developers <karvello-devel@lists.karvello.org>"
    CACHE STRING "The Debian package's maintainer, as \"Name <address>\"")

set(pkg_dir ${CMAKE_CURRENT_LIST_DIR})
set(pkg_out ${CMAKE_BINARY_DIR}/packaging)
# Each package has its own folder of documents, with the licence and the changelog.
set(KARVELLO_PACKAGE_window karvello)
set(KARVELLO_PACKAGE_cli karvello-cli)

# The changelog's latest entry is the release being built: its version must be project()'s, and
# its date is the release date that the software-centre entry and the manual pages give.
file(STRINGS ${pkg_dir}/debian/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^karvello \\(([^)]+)\\) ")
  message(FATAL_ERROR "packaging/debian/changelog does not start with a karvello entry")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/debian/changelog's latest entry is ${CMAKE_MATCH_1}, the project "
                      "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION}")
endif()
file(STRINGS ${pkg_dir}/debian/changelog changelog_trailers REGEX "^ -- ")
list(GET changelog_trailers 0 changelog_trailer)
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
if(NOT changelog_trailer MATCHES ">  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9]+) ")
  message(FATAL_ERROR "packaging/debian/changelog: no date in \"${changelog_trailer}\"")
endif()
set(day ${CMAKE_MATCH_1})
set(year ${CMAKE_MATCH_3})
list(FIND months ${CMAKE_MATCH_2} month)
math(EXPR month "${month} + 1" OUTPUT_FORMAT DECIMAL)
if(month LESS 10)
  set(month 0${month})
endif()
set(KARVELLO_RELEASE_DATE ${year}-${month}-${day})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pkg_dir}/debian/changelog)

install(TARGETS karvello RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT window)
install(TARGETS karvello-cli karvello-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT cli)

# The desktop entry and the software-centre entry, named by the application's id
# (KARVELLO_APP_ID, which the running program also gives), take the name, version and
# description of project(), as the program and the package do.
foreach(entry desktop metainfo.xml)
  configure_file(${pkg_dir}/${KARVELLO_APP_ID}.${entry}.in ${pkg_out}/${KARVELLO_APP_ID}.${entry}
                 @ONLY)
endforeach()
install(FILES ${pkg_out}/${KARVELLO_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT window)
install(FILES ${pkg_out}/${KARVELLO_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT window)
# The icon: the drawing, and PNGs made from it (scripts/render-icons) for the sizes desktops look
# for first.
install(FILES ${pkg_dir}/karvello.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT window)
foreach(size 16 32 48 64 128 256)
  install(FILES ${pkg_dir}/icons/hicolor/${size}x${size}/apps/karvello.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          COMPONENT window)
endforeach()

# Files installed gzipped, as Debian wants them: -n leaves out the name and the time, so that the
# same text makes the same package.
find_program(KARVELLO_GZIP gzip REQUIRED)
set(gzipped)
function(karvello_gzip source target)
  add_custom_command(OUTPUT ${target}
                     COMMAND ${KARVELLO_GZIP} -9 -n -c ${source} > ${target}
                     DEPENDS ${source} COMMENT "Compressing ${target}" VERBATIM)
  set(gzipped ${gzipped} ${target} PARENT_SCOPE)
endfunction()

# The manual pages: each packaging/man/NAME.SECTION is one page, given the version and the
# release date and installed as manSECTION/NAME.SECTION.gz, in the window's package for the window
# and in the command line's for the others.
file(GLOB man_pages CONFIGURE_DEPENDS ${pkg_dir}/man/*.[1-9])
foreach(page ${man_pages})
  get_filename_component(page_name ${page} NAME)
  string(REGEX REPLACE ".*\\." "" section ${page_name})
  configure_file(${page} ${pkg_out}/man/${page_name} @ONLY)
  karvello_gzip(${pkg_out}/man/${page_name} ${pkg_out}/man/${page_name}.gz)
  set(component cli)
  if(page_name STREQUAL "karvello.1")
    set(component window)
  endif()
  install(FILES ${pkg_out}/man/${page_name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
          COMPONENT ${component})
endforeach()

# The licence (a machine-readable Debian copyright file) and the changelog, in each package.
karvello_gzip(${pkg_dir}/debian/changelog ${pkg_out}/changelog.gz)
foreach(component window cli)
  install(FILES ${pkg_out}/changelog.gz ${pkg_dir}/debian/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KARVELLO_PACKAGE_${component}}
          COMPONENT ${component})
endforeach()
add_custom_target(karvello_gzipped ALL DEPENDS ${gzipped})

# The watch as a service: the systemd template unit karvello-watch@.service runs
# "karvello-cli watch --config /etc/karvello/watch-NAME.conf" as the system user karvello, which
# the command line's package's postinst makes. The example options file is a conffile; the records
# under /var/lib/karvello (the unit's StateDirectory) are the site's and stay even on purge.
set(KARVELLO_SYSTEMD_UNIT_DIR /lib/systemd/system
    CACHE PATH "Where the package installs systemd's system units")
install(FILES ${pkg_dir}/systemd/karvello-watch@.service DESTINATION ${KARVELLO_SYSTEMD_UNIT_DIR}
        COMPONENT cli)
install(FILES ${pkg_dir}/systemd/watch-example.conf DESTINATION /etc/karvello COMPONENT cli)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL window cli)
set(CPACK_PACKAGE_NAME karvello)
set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME ${KARVELLO_PACKAGE_window})
set(CPACK_DEBIAN_CLI_PACKAGE_NAME ${KARVELLO_PACKAGE_cli})
set(CPACK_PACKAGE_VENDOR "Karvello")
set(CPACK_PACKAGE_CONTACT "${KARVELLO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KARVELLO_MAINTAINER}")
# Each package's synopsis is the first line of its own description below. CPack puts
# CPACK_PACKAGE_DESCRIPTION_SUMMARY before every package's description unless it is CPack's own
# default, "NAME built using CMake", which is therefore kept here and shown nowhere.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_INSTALL_DIRECTORY /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The synopsis, then the text; CPack indents the lines, which Debian wants within 80 columns (an
# empty line becomes " ."). The window's synopsis is project()'s description, as its desktop
# entry and software-centre entry give it.
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
    "${PROJECT_DESCRIPTION}
Karvello talks Modbus RTU at 9600 baud 8N1 to one detector on a serial
port: it sets and reads the detector's bus address, has it measure the
grounding resistance and reads the result, and reads its voltage, showing
every frame sent and received.

This package holds the bench window, karvello, with its desktop entry, its
software-centre entry and its icons. The command line, the site gateway's
service and the simulated detector are in the package karvello-cli.")
set(CPACK_DEBIAN_CLI_DESCRIPTION
    "Karvello's command line, site gateway service and simulated detector
Karvello talks Modbus RTU at 9600 baud 8N1 to grounding-resistance online
detectors on a serial line.

This package holds karvello-cli, which sets up and reads the detectors from
a terminal, and its watch: a site gateway that reads them all day, records
every reading and publishes it over MQTT, with a systemd service
(karvello-watch@NAME) run as the system user karvello. It also holds
karvello-sim, a simulated detector on a pseudo-terminal or a serial port.
It needs no display, none of Qt's GUI libraries and no font.")
# The libraries found in each package's programs (Qt's, the C and C++ runtimes, libmosquitto)
# become its dependencies; libqt6gui6 brings the X11 and Wayland platform plugins with the window.
# CPack adds them to the ones below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's captions are Chinese, set in a Song face: without any Chinese font they show as
# boxes. The Song face first, then the other Chinese fonts of Debian.
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS
    "fonts-arphic-uming | fonts-arphic-ukai | fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei")
# The window shares no file with the command line, but a bench usually wants the simulator and
# the command line beside it: apt installs them with the window unless told not to.
set(CPACK_DEBIAN_WINDOW_PACKAGE_RECOMMENDS "${KARVELLO_PACKAGE_cli} (= ${PROJECT_VERSION})")
# The postinst makes the service's user with adduser.
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "adduser")
# The maintainer scripts (the user; systemd told of the unit; the watches stopped on removal)
# and the conffiles, with the modes Debian wants.
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA
    "${pkg_dir}/debian/postinst;${pkg_dir}/debian/prerm;${pkg_dir}/debian/postrm;${pkg_dir}/debian/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
