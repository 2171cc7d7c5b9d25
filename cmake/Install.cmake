# Installed layout on Linux, for `cmake --install` and for the .deb that
# `cpack -G DEB` builds from the same rules:
#
#   <prefix>/lib/quorin-call-monitor/   corvane, FileCopy, Corvane_*.uln, help/
#   <prefix>/bin/quorin-call-monitor    relative symlink to ../lib/.../corvane
#   <prefix>/share/applications/        com.brindlex.QuorinCallMonitor.desktop
#   <prefix>/share/metainfo/            com.brindlex.QuorinCallMonitor.metainfo.xml
#   <prefix>/share/icons/hicolor/       scalable SVG and 48, 64, 128, 256 px PNG
#   <prefix>/share/man/man1/            quorin-call-monitor.1.gz
#   <prefix>/share/doc/quorin-call-monitor/   copyright, changelog.gz
#
# The program finds its translations, manual and copy tool in its own folder
# (ProgramFolder() resolves /proc/self/exe), so everything that lies beside it
# in build/bin lies beside it here too, and the launcher can be a plain symlink.
# Only the program, its data and FileCopy are installed: no tests, benchmarks,
# simulator or corvane-ini. The build tree stays as it is (build/bin).
#
# Needs: the targets corvane and FileCopy, CORVANE_LANG_FILES and
# CORVANE_HELP_FILES from data/, CORVANE_RSVG_CONVERT from src/app/.

set(CORVANE_PACKAGE_NAME quorin-call-monitor)
set(CORVANE_APP_ID com.brindlex.QuorinCallMonitor)
set(CORVANE_INSTALL_APPDIR "lib/${CORVANE_PACKAGE_NAME}")
set(CORVANE_INSTALL_DOCDIR "share/doc/${CORVANE_PACKAGE_NAME}")

foreach(_target corvane FileCopy)
  if(NOT TARGET ${_target})
    message(FATAL_ERROR "Install rules: target ${_target} is not defined")
  endif()
endforeach()
if(NOT CORVANE_LANG_FILES OR NOT CORVANE_HELP_FILES)
  message(FATAL_ERROR "Install rules: the data file lists from data/ are empty")
endif()
find_program(CORVANE_GZIP gzip REQUIRED)

set(_desktop_src "${PROJECT_SOURCE_DIR}/data/desktop")
set(_desktop_out "${CMAKE_BINARY_DIR}/desktop")
set(_app_icon "${PROJECT_SOURCE_DIR}/data/icons/AppIcon.svg")
foreach(f ${CORVANE_APP_ID}.desktop ${CORVANE_APP_ID}.metainfo.xml.in
          ${CORVANE_PACKAGE_NAME}.1 changelog.in copyright)
  if(NOT EXISTS "${_desktop_src}/${f}")
    message(FATAL_ERROR "Data file missing: ${_desktop_src}/${f}")
  endif()
endforeach()
file(MAKE_DIRECTORY "${_desktop_out}")

# Folders made by the install are 0755 whatever the umask of the one who runs
# it; lintian flags group-writable folders in a package.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# --- Release date ------------------------------------------------------------
# CORVANE_RELEASE_DATE (YYYY-MM-DD, top-level CMakeLists.txt) goes into the
# AppStream release as it is and into the package changelog in RFC 5322 form,
# whose day of the week must be right.
if(NOT CORVANE_RELEASE_DATE MATCHES "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
  message(FATAL_ERROR "CORVANE_RELEASE_DATE '${CORVANE_RELEASE_DATE}' is not YYYY-MM-DD")
endif()
set(_day_text "${CMAKE_MATCH_3}")
math(EXPR _year "${CMAKE_MATCH_1} + 0")
math(EXPR _month "${CMAKE_MATCH_2} + 0")
math(EXPR _day "${CMAKE_MATCH_3} + 0")
if(_month LESS 1 OR _month GREATER 12 OR _day LESS 1 OR _day GREATER 31)
  message(FATAL_ERROR "CORVANE_RELEASE_DATE '${CORVANE_RELEASE_DATE}' is no date")
endif()
# Sakamoto's day of the week: 0 is Sunday.
set(_offsets 0 3 2 5 0 3 5 1 4 6 2 4)
math(EXPR _m0 "${_month} - 1")
list(GET _offsets ${_m0} _offset)
set(_y ${_year})
if(_month LESS 3)
  math(EXPR _y "${_y} - 1")
endif()
math(EXPR _dow "(${_y} + ${_y} / 4 - ${_y} / 100 + ${_y} / 400 + ${_offset} + ${_day}) % 7")
set(_day_names Sun Mon Tue Wed Thu Fri Sat)
set(_month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(GET _day_names ${_dow} _day_name)
list(GET _month_names ${_m0} _month_name)
set(CORVANE_RELEASE_DATE_RFC
    "${_day_name}, ${_day_text} ${_month_name} ${_year} 00:00:00 +0000")

# --- Files made at configure and build time ------------------------------------
configure_file("${_desktop_src}/${CORVANE_APP_ID}.metainfo.xml.in"
               "${_desktop_out}/${CORVANE_APP_ID}.metainfo.xml" @ONLY)
configure_file("${_desktop_src}/changelog.in" "${_desktop_out}/configured/changelog" @ONLY)

# The launcher: a relative link, so that it points into the same prefix
# wherever the tree is installed or unpacked.
file(CREATE_LINK "../${CORVANE_INSTALL_APPDIR}/corvane"
     "${_desktop_out}/${CORVANE_PACKAGE_NAME}" SYMBOLIC)

set(_desktop_outputs)

# corvane_gzip(<input> <output .gz>): gzip -9n, so that the file carries no
# name or time stamp (reproducible, and what Debian asks of man pages and
# changelogs).
function(corvane_gzip input output)
  string(REGEX REPLACE "\\.gz$" "" plain "${output}")
  get_filename_component(dir "${output}" DIRECTORY)
  add_custom_command(OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
    COMMAND ${CMAKE_COMMAND} -E copy "${input}" "${plain}"
    COMMAND "${CORVANE_GZIP}" -9nf "${plain}"
    DEPENDS "${input}"
    COMMENT "Compressing ${output}"
    VERBATIM)
  set(_desktop_outputs ${_desktop_outputs} "${output}" PARENT_SCOPE)
endfunction()

corvane_gzip("${_desktop_src}/${CORVANE_PACKAGE_NAME}.1"
             "${_desktop_out}/man/${CORVANE_PACKAGE_NAME}.1.gz")
corvane_gzip("${_desktop_out}/configured/changelog" "${_desktop_out}/doc/changelog.gz")
corvane_gzip("${_desktop_src}/corvane-cli.1" "${_desktop_out}/man/corvane-cli.1.gz")

# The application icon in the sizes of the hicolor theme, rendered like the
# program's own pictures (src/app/CMakeLists.txt).
set(CORVANE_ICON_SIZES 48 64 128 256)
foreach(size IN LISTS CORVANE_ICON_SIZES)
  set(out "${_desktop_out}/icons/${size}/${CORVANE_APP_ID}.png")
  add_custom_command(OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_desktop_out}/icons/${size}"
    COMMAND "${CORVANE_RSVG_CONVERT}" -w ${size} -h ${size} -f png -o "${out}" "${_app_icon}"
    DEPENDS "${_app_icon}"
    COMMENT "Rendering the ${size} px application icon"
    VERBATIM)
  list(APPEND _desktop_outputs "${out}")
endforeach()

add_custom_target(corvane_desktop_files ALL DEPENDS ${_desktop_outputs})

# --- Install rules -----------------------------------------------------------
install(TARGETS corvane FileCopy RUNTIME DESTINATION "${CORVANE_INSTALL_APPDIR}")
install(FILES ${CORVANE_LANG_FILES} DESTINATION "${CORVANE_INSTALL_APPDIR}")
install(FILES ${CORVANE_HELP_FILES} DESTINATION "${CORVANE_INSTALL_APPDIR}/help")
install(FILES "${_desktop_out}/${CORVANE_PACKAGE_NAME}" DESTINATION bin)
# The console client needs nothing beside it.
install(TARGETS corvane-cli RUNTIME DESTINATION bin)

install(FILES "${_desktop_src}/${CORVANE_APP_ID}.desktop" DESTINATION share/applications)
install(FILES "${_desktop_out}/${CORVANE_APP_ID}.metainfo.xml" DESTINATION share/metainfo)
install(FILES "${_app_icon}" DESTINATION share/icons/hicolor/scalable/apps
        RENAME "${CORVANE_APP_ID}.svg")
foreach(size IN LISTS CORVANE_ICON_SIZES)
  install(FILES "${_desktop_out}/icons/${size}/${CORVANE_APP_ID}.png"
          DESTINATION "share/icons/hicolor/${size}x${size}/apps")
endforeach()
install(FILES "${_desktop_out}/man/${CORVANE_PACKAGE_NAME}.1.gz"
              "${_desktop_out}/man/corvane-cli.1.gz" DESTINATION share/man/man1)
install(FILES "${_desktop_src}/copyright" "${_desktop_out}/doc/changelog.gz"
        DESTINATION "${CORVANE_INSTALL_DOCDIR}")

# --- Debian package (cpack -G DEB) -------------------------------------------
# A native package (no Debian revision): version 1.0.0.1 as the program shows
# it. dpkg-shlibdeps finds the libraries the executables link; the ALSA route
# to the desktop's sound server and the browser opener for the manual are not
# linked, so they are named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "${CORVANE_PACKAGE_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Brindlex")
set(CPACK_PACKAGE_CONTACT "Brindlex <support@brindlex.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live view of a call recorder's active calls, with listening")
set(CPACK_PACKAGE_DESCRIPTION
    "Quorin Call Monitor is the desktop client of the Quorin telephone call
recorder. It shows, live, the calls that are active on the recorder: their
direction, the local, remote and connected numbers and names, the start time
and a running duration.

A supervisor listens to any of these calls as it happens: the recorder
streams the call's audio over HTTP or HTTPS and the client plays it on the
sound card. Optionally the client starts listening by itself when a new call
begins.")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Brindlex <support@brindlex.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.brindlex.com")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libasound2-plugins | pipewire-alsa")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
include(CPack)
