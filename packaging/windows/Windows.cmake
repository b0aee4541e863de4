# The Windows build of karvello.exe: its icon (the desktop PNGs in packaging/icons, made into one
# .ico), its version information (from project()) and its manifest, in one resource compiled into
# the program. It is a GUI program: no console window opens with it. scripts/package-windows
# makes the zip and the setup program from the build.
find_program(KARVELLO_MAGICK convert REQUIRED)

set(win_dir ${CMAKE_CURRENT_LIST_DIR})
set(KARVELLO_ICO ${CMAKE_CURRENT_BINARY_DIR}/karvello.ico)
set(KARVELLO_MANIFEST ${win_dir}/karvello.manifest)
set(icon_pngs)
foreach(size 256 128 64 48 32 16)
  list(APPEND icon_pngs ${PROJECT_SOURCE_DIR}/packaging/icons/hicolor/${size}x${size}/apps/karvello.png)
endforeach()
add_custom_command(OUTPUT ${KARVELLO_ICO}
                   COMMAND ${KARVELLO_MAGICK} ${icon_pngs} ${KARVELLO_ICO}
                   DEPENDS ${icon_pngs}
                   COMMENT "Making karvello.ico" VERBATIM)
add_custom_target(karvello_icon DEPENDS ${KARVELLO_ICO})
add_dependencies(karvello karvello_icon)

configure_file(${win_dir}/karvello.rc.in ${CMAKE_CURRENT_BINARY_DIR}/karvello.rc @ONLY)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/karvello.rc PROPERTIES
                            OBJECT_DEPENDS "${KARVELLO_ICO};${KARVELLO_MANIFEST}")
target_sources(karvello PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/karvello.rc)
set_target_properties(karvello PROPERTIES WIN32_EXECUTABLE ON)

install(TARGETS karvello RUNTIME DESTINATION .)
# Karvello's licence, where the zip (scripts/package-windows) has it too.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION licenses/karvello RENAME LICENSE.txt)
