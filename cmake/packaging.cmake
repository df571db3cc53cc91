# Installing: what goes where, for `cmake --install`, the Debian package and
# the relocatable archive. Under the prefix (/usr for the package):
#   bin/nimbo, bin/nimbo-share-server
#   lib/nimbo/libnimbo_app.so           loaded by bin/nimbo from ../lib/nimbo
#   share/applications, share/icons/hicolor, share/metainfo, share/man/man1,
#   share/bash-completion/completions
# Only these three programs and their files are installed: tests, benchmarks
# and fuzz targets never are (the component "nimbo" is all CPack takes).
#
#   cmake --build build && (cd build && cpack -G DEB)   nimbo_VERSION_ARCH.deb
#   cmake --build build && (cd build && cpack -G TXZ)   nimbo-VERSION-linux-ARCH.tar.xz
# cpack builds `all` first, as `make install` would; a build folder configured
# with -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON packs what `--target nimbo` built.

set(NIMBO_RELEASE_DATE "2026-12-07" CACHE STRING "Release date of this version (YYYY-MM-DD), for the metainfo and the man page")
set(NIMBO_PACKAGE_MAINTAINER "Vantori <nimbo@vantori.com>" CACHE STRING "Maintainer named in the Debian package")

find_program(NIMBO_RSVG_CONVERT rsvg-convert)
find_program(NIMBO_GZIP gzip)
if(NOT NIMBO_RSVG_CONVERT OR NOT NIMBO_GZIP)
  message(FATAL_ERROR "rsvg-convert (librsvg2-bin) and gzip draw the icons and pack the man page: run scripts/install-deps")
endif()

set(nimbo_pkg ${CMAKE_BINARY_DIR}/package)
set(nimbo_icon_svg ${CMAKE_SOURCE_DIR}/resources/com.vantori.screenshot.svg)

# The metainfo and the man page carry the version and its date.
configure_file(resources/com.vantori.screenshot.metainfo.xml.in ${nimbo_pkg}/com.vantori.screenshot.metainfo.xml @ONLY)
configure_file(resources/nimbo.1.in ${nimbo_pkg}/nimbo.1 @ONLY)
add_custom_command(OUTPUT ${nimbo_pkg}/nimbo.1.gz
  COMMAND ${NIMBO_GZIP} -9 -n -c ${nimbo_pkg}/nimbo.1 > ${nimbo_pkg}/nimbo.1.gz
  DEPENDS ${nimbo_pkg}/nimbo.1
  COMMENT "Compressing the man page")

# The icon at every size the hicolor theme lists for applications.
set(nimbo_icon_sizes 16 24 32 48 64 128 256 512)
set(nimbo_package_files ${nimbo_pkg}/nimbo.1.gz)
foreach(size IN LISTS nimbo_icon_sizes)
  set(png ${nimbo_pkg}/icons/${size}x${size}/apps/com.vantori.screenshot.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${nimbo_pkg}/icons/${size}x${size}/apps
    COMMAND ${NIMBO_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${nimbo_icon_svg}
    DEPENDS ${nimbo_icon_svg}
    COMMENT "Drawing the ${size}x${size} icon" VERBATIM)
  list(APPEND nimbo_package_files ${png})
  install(FILES ${png} DESTINATION share/icons/hicolor/${size}x${size}/apps COMPONENT nimbo)
endforeach()
add_custom_target(nimbo_package_files DEPENDS ${nimbo_package_files})
# Building the program builds everything installed with it.
add_dependencies(nimbo nimbo_package_files)

install(TARGETS nimbo nimbo-share-server RUNTIME DESTINATION bin COMPONENT nimbo)
install(TARGETS nimbo_app LIBRARY DESTINATION lib/nimbo COMPONENT nimbo)
install(FILES resources/com.vantori.screenshot.desktop DESTINATION share/applications COMPONENT nimbo)
install(FILES ${nimbo_icon_svg} DESTINATION share/icons/hicolor/scalable/apps COMPONENT nimbo)
install(FILES ${nimbo_pkg}/com.vantori.screenshot.metainfo.xml DESTINATION share/metainfo COMPONENT nimbo)
install(FILES ${nimbo_pkg}/nimbo.1.gz DESTINATION share/man/man1 COMPONENT nimbo)
install(FILES resources/nimbo.bash-completion DESTINATION share/bash-completion/completions
  RENAME nimbo COMPONENT nimbo)
# The installed programs find their libraries in the system's folders and the
# application library by its path: no build-tree or install RPATH.
set_target_properties(nimbo nimbo_app nimbo-share-server PROPERTIES INSTALL_RPATH "")

# CPack: `cpack` in the build folder makes both, `cpack -G DEB|TXZ` one.
set(CPACK_GENERATOR DEB TXZ)
set(CPACK_PACKAGE_NAME nimbo)
set(CPACK_PACKAGE_VENDOR Vantori)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${NIMBO_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://nimbo.vantori.com")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keyboard-first screenshots and screen recordings from the tray")
set(CPACK_PACKAGE_DESCRIPTION "Nimbo lives in the tray. A global shortcut or a command freezes every
display, you drag a region, and the PNG lands on the clipboard, or is uploaded
to your share server and its link lands there instead. Captures can be
annotated in an editor and the last 30 are kept in a history; screen
recordings of a monitor, a window or a region, with system sound and
microphone, go to a video file or a share link. Works on X11 and, through the
desktop portals, on Wayland. Includes nimbo-share-server, the reference share
server.")
set(CPACK_STRIP_FILES ON)
# Only the files of the component above, whatever else may be installable.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};nimbo;/")
set(CPACK_PROJECT_CONFIG_FILE ${nimbo_pkg}/cpack_options.cmake)

# Debian package, installed under /usr.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NIMBO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://nimbo.vantori.com")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Dependencies no linked library names: Qt's X11 platform plugin, without
# which the tray application cannot start, and FFmpeg, which is opened when
# a recording starts rather than linked; the rest helps on some desktops.
set(nimbo_ffmpeg_packages "")
foreach(m avutil swresample swscale avcodec avformat avdevice)
  string(REGEX MATCH "^[0-9]+" nimbo_major "${FFMPEG_lib${m}_VERSION}")
  if(NOT nimbo_major)
    message(FATAL_ERROR "no version for lib${m}")
  endif()
  list(APPEND nimbo_ffmpeg_packages "lib${m}${nimbo_major}")
endforeach()
list(JOIN nimbo_ffmpeg_packages ", " nimbo_ffmpeg_packages)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, ${nimbo_ffmpeg_packages}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, xdg-desktop-portal, sound-theme-freedesktop, fonts-inter, fonts-jetbrains-mono")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-keyring")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The relocatable archive: one folder nimbo-VERSION/ holding bin/, lib/nimbo/
# and share/, which `nimbo install-local` copies as it is.
set(NIMBO_ARCHIVE_NAME "nimbo-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
set(NIMBO_ARCHIVE_TOP "nimbo-${PROJECT_VERSION}")
file(WRITE ${nimbo_pkg}/cpack_options.cmake "# Written by cmake/packaging.cmake: the settings that differ per generator.
if(CPACK_GENERATOR STREQUAL \"TXZ\")
  set(CPACK_PACKAGE_FILE_NAME \"${NIMBO_ARCHIVE_NAME}\")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGING_INSTALL_PREFIX \"/${NIMBO_ARCHIVE_TOP}\")
elseif(CPACK_GENERATOR STREQUAL \"DEB\")
  set(CPACK_PACKAGING_INSTALL_PREFIX \"/usr\")
endif()
")
include(CPack)
