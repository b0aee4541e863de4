# The Windows build of karvello.exe: its icon (made from packaging/karvello.svg), its version
# information (from project()) and its manifest, in one resource compiled into the program. It is
# a GUI program: no console window opens with it. scripts/package-windows makes the zip and the
# installer from the build.
find_program(KARVELLO_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(KARVELLO_MAGICK convert REQUIRED)

set(win_dir ${CMAKE_CURRENT_LIST_DIR})
set(KARVELLO_ICO ${CMAKE_CURRENT_BINARY_DIR}/karvello.ico)
set(KARVELLO_MANIFEST ${win_dir}/karvello.manifest)
set(icon_sizes 256 64 48 32 24 16)
set(icon_pngs)
foreach(size IN LISTS icon_sizes)
  list(APPEND icon_pngs ${CMAKE_CURRENT_BINARY_DIR}/icon-${size}.png)
endforeach()
set(render_commands)
foreach(size IN LISTS icon_sizes)
  list(APPEND render_commands COMMAND ${KARVELLO_RSVG_CONVERT} -w ${size} -h ${size}
       ${PROJECT_SOURCE_DIR}/packaging/karvello.svg -o ${CMAKE_CURRENT_BINARY_DIR}/icon-${size}.png)
endforeach()
add_custom_command(OUTPUT ${KARVELLO_ICO}
                   ${render_commands}
                   COMMAND ${KARVELLO_MAGICK} ${icon_pngs} ${KARVELLO_ICO}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/karvello.svg
                   COMMENT "Making karvello.ico from karvello.svg" VERBATIM)

add_custom_target(karvello_icon DEPENDS ${KARVELLO_ICO})
add_dependencies(karvello karvello_icon)

configure_file(${win_dir}/karvello.rc.in ${CMAKE_CURRENT_BINARY_DIR}/karvello.rc @ONLY)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/karvello.rc PROPERTIES
                            OBJECT_DEPENDS "${KARVELLO_ICO};${KARVELLO_MANIFEST}")
target_sources(karvello PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/karvello.rc)
set_target_properties(karvello PROPERTIES WIN32_EXECUTABLE ON)

install(TARGETS karvello RUNTIME DESTINATION .)
