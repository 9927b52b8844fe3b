# What `cmake --install` puts where, besides the two programs of ui/ (FHS):
#
#   bin/parcelwing                                  console      (ui/CMakeLists.txt)
#   share/man/man1/parcelwing.1.gz                  console
#   share/doc/parcelwing/                           console
#   lib/parcelwing/parcelwing-window.so             window       (ui/CMakeLists.txt)
#   share/parcelwing/*.lng                          window
#   share/applications/parcelwing.desktop           window
#   share/icons/hicolor/<size>/apps/parcelwing.png  window
#   share/metainfo/org.parcelwing.Parcelwing.metainfo.xml   window
#   share/kio/servicemenus/parcelwing-send.desktop  window
#   share/nemo/actions/parcelwing-send.nemo_action  window
#   share/doc/parcelwing-window/                    window
#   share/lintian/overrides/parcelwing-window       window
#
# The components are the two Debian packages of cmake/Package.cmake: the
# console program alone, for servers and cron, and the window module with
# everything only a desktop needs.

set(PW_DEB_RELEASE 1)
set(PW_DEB_VERSION "${PROJECT_VERSION}-${PW_DEB_RELEASE}")

# ---- The manual page: scdoc source in docs/, roff made at build time --------
find_program(PW_SCDOC scdoc)
find_program(PW_GZIP gzip REQUIRED)
set(PW_MANPAGE_SOURCE ${PROJECT_SOURCE_DIR}/docs/parcelwing.1.scd)
if(PW_SCDOC)
  set(man_dir ${PROJECT_BINARY_DIR}/man)
  configure_file(${PW_MANPAGE_SOURCE} ${man_dir}/parcelwing.1.scd @ONLY)
  add_custom_command(OUTPUT ${man_dir}/parcelwing.1 ${man_dir}/parcelwing.1.gz
    COMMAND ${PW_SCDOC} < ${man_dir}/parcelwing.1.scd > ${man_dir}/parcelwing.1
    # -n: no name or time stamp inside, so the package is the same from build to build.
    COMMAND ${PW_GZIP} -9 -n -c ${man_dir}/parcelwing.1 > ${man_dir}/parcelwing.1.gz
    DEPENDS ${man_dir}/parcelwing.1.scd
    COMMENT "Manual page parcelwing(1)"
    VERBATIM)
  add_custom_target(manpage ALL DEPENDS ${man_dir}/parcelwing.1.gz)
  install(FILES ${man_dir}/parcelwing.1.gz DESTINATION share/man/man1 COMPONENT console)
else()
  message(WARNING "scdoc not found: the manual page is not built (scripts/deps installs scdoc)")
endif()

# ---- Documents of each package: copyright and Debian changelog --------------
set(doc_dir ${PROJECT_BINARY_DIR}/packaging)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${doc_dir}/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${doc_dir}/changelog.Debian.gz
  COMMAND ${PW_GZIP} -9 -n -c ${doc_dir}/changelog.Debian > ${doc_dir}/changelog.Debian.gz
  DEPENDS ${doc_dir}/changelog.Debian
  VERBATIM)
add_custom_target(package-docs ALL DEPENDS ${doc_dir}/changelog.Debian.gz)
foreach(component console window)
  if(component STREQUAL "console")
    set(package parcelwing)
  else()
    set(package parcelwing-window)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${doc_dir}/changelog.Debian.gz
          DESTINATION share/doc/${package} COMPONENT ${component})
endforeach()

# ---- The window's files ------------------------------------------------------
if(NOT TARGET parcelwing-window)
  return()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/parcelwing-window.lintian-overrides
        DESTINATION share/lintian/overrides RENAME parcelwing-window COMPONENT window)

file(GLOB language_files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/resources/*.lng)
install(FILES ${language_files} DESTINATION share/parcelwing COMPONENT window)

install(FILES ${PROJECT_SOURCE_DIR}/resources/parcelwing.desktop
        DESTINATION share/applications COMPONENT window)
install(FILES ${PROJECT_SOURCE_DIR}/resources/org.parcelwing.Parcelwing.metainfo.xml
        DESTINATION share/metainfo COMPONENT window)
install(FILES ${PROJECT_SOURCE_DIR}/resources/parcelwing-send.desktop
        DESTINATION share/kio/servicemenus COMPONENT window)
install(FILES ${PROJECT_SOURCE_DIR}/resources/parcelwing-send.nemo_action
        DESTINATION share/nemo/actions COMPONENT window)

# pw_png_size(<file> <width var> <height var>): the size a PNG file states in
# its IHDR chunk, which always follows the 8-byte signature.
function(pw_png_size file width_var height_var)
  file(READ ${file} header OFFSET 12 LIMIT 12 HEX)
  string(SUBSTRING "${header}" 0 8 chunk)
  if(NOT chunk STREQUAL "49484452")   # "IHDR"
    message(FATAL_ERROR "${file} is not a PNG image")
  endif()
  string(SUBSTRING "${header}" 8 8 width)
  string(SUBSTRING "${header}" 16 8 height)
  math(EXPR width "0x${width}")
  math(EXPR height "0x${height}")
  set(${width_var} ${width} PARENT_SCOPE)
  set(${height_var} ${height} PARENT_SCOPE)
endfunction()

# Every icon that scripts/make-images draws, each at the size the image itself
# states: resources/parcelwing-<n>.png goes to hicolor/<n>x<n>/apps, one drawn
# at twice the scale (parcelwing-<n>@2x.png, 2n pixels) to hicolor/<n>x<n>@2/apps.
file(GLOB icons CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/resources/parcelwing-*.png)
foreach(icon IN LISTS icons)
  get_filename_component(name ${icon} NAME)
  if(NOT name MATCHES "^parcelwing-([0-9]+)(@([0-9]+)x)?\\.png$")
    message(FATAL_ERROR "${name}: icons are named parcelwing-<size>.png or parcelwing-<size>@<scale>x.png")
  endif()
  set(size ${CMAKE_MATCH_1})
  set(scale 1)
  if(CMAKE_MATCH_3)
    set(scale ${CMAKE_MATCH_3})
  endif()
  pw_png_size(${icon} width height)
  math(EXPR drawn "${size} * ${scale}")
  if(NOT width EQUAL drawn OR NOT height EQUAL drawn)
    message(FATAL_ERROR "${name} is ${width}x${height}, not ${drawn}x${drawn} as its name says")
  endif()
  set(folder "${size}x${size}")
  if(scale GREATER 1)
    string(APPEND folder "@${scale}")
  endif()
  install(FILES ${icon} DESTINATION share/icons/hicolor/${folder}/apps
          RENAME parcelwing.png COMPONENT window)
endforeach()
if(EXISTS ${PROJECT_SOURCE_DIR}/resources/parcelwing.svg)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/parcelwing.svg
          DESTINATION share/icons/hicolor/scalable/apps COMPONENT window)
endif()
