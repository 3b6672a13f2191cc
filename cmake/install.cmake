# Installation (freedesktop layout) and the Debian packages.
#
# The program folder (loader, runtime library, tunova-cli) goes to a private folder under lib/,
# where the loader finds its runtime beside itself; bin/ holds links to it. Two components:
# "app" (package tunova) and "catalogue" (package tunova-catalogue, with its systemd unit).
include(GNUInstallDirs)
set(TUNOVA_APP_ID org.tunova.Tunova)
set(TUNOVA_PRIVATE_DIR ${CMAKE_INSTALL_LIBDIR}/tunova)

install(TARGETS tunova tunova-cli RUNTIME DESTINATION ${TUNOVA_PRIVATE_DIR} COMPONENT app)
install(TARGETS tunova-runtime tunova-media tunova-net LIBRARY DESTINATION ${TUNOVA_PRIVATE_DIR} COMPONENT app)
# Relative links, made in the build tree and installed as links.
file(RELATIVE_PATH TUNOVA_BIN_TO_PRIVATE ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
  ${CMAKE_INSTALL_PREFIX}/${TUNOVA_PRIVATE_DIR})
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/links)
foreach(program tunova tunova-cli)
  file(CREATE_LINK ${TUNOVA_BIN_TO_PRIVATE}/${program} ${CMAKE_BINARY_DIR}/links/${program} SYMBOLIC)
  install(FILES ${CMAKE_BINARY_DIR}/links/${program} DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT app)
endforeach()

set(DIST ${CMAKE_SOURCE_DIR}/dist)
install(FILES ${DIST}/${TUNOVA_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
  COMPONENT app)
install(FILES ${DIST}/${TUNOVA_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
  COMPONENT app)
install(FILES ${DIST}/icons/${TUNOVA_APP_ID}.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT app)
foreach(size 48x48 128x128 256x256)
  install(FILES ${DIST}/icons/${size}/${TUNOVA_APP_ID}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}/apps COMPONENT app)
endforeach()

install(TARGETS tunova-catalogue RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT catalogue)
install(FILES ${DIST}/tunova-catalogue.service DESTINATION lib/systemd/system COMPONENT catalogue)

# Manual pages and the package documents, compressed as Debian wants them.
find_program(GZIP gzip REQUIRED)
set(TUNOVA_GZ_DIR ${CMAKE_BINARY_DIR}/dist-gz)
file(MAKE_DIRECTORY ${TUNOVA_GZ_DIR})
set(TUNOVA_GZ_FILES)
foreach(page tunova tunova-cli tunova-catalogue)
  list(APPEND TUNOVA_GZ_FILES ${TUNOVA_GZ_DIR}/${page}.1.gz)
  add_custom_command(OUTPUT ${TUNOVA_GZ_DIR}/${page}.1.gz
    COMMAND ${GZIP} -n -9 -c ${DIST}/man/${page}.1 > ${TUNOVA_GZ_DIR}/${page}.1.gz
    DEPENDS ${DIST}/man/${page}.1 VERBATIM)
endforeach()
list(APPEND TUNOVA_GZ_FILES ${TUNOVA_GZ_DIR}/changelog.gz)
add_custom_command(OUTPUT ${TUNOVA_GZ_DIR}/changelog.gz
  COMMAND ${GZIP} -n -9 -c ${DIST}/changelog > ${TUNOVA_GZ_DIR}/changelog.gz
  DEPENDS ${DIST}/changelog VERBATIM)
add_custom_target(tunova-dist-files ALL DEPENDS ${TUNOVA_GZ_FILES})
install(FILES ${TUNOVA_GZ_DIR}/tunova.1.gz ${TUNOVA_GZ_DIR}/tunova-cli.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT app)
install(FILES ${TUNOVA_GZ_DIR}/tunova-catalogue.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT catalogue)
foreach(component app catalogue)
  set(package tunova)
  if(component STREQUAL "catalogue")
    set(package tunova-catalogue)
  endif()
  install(FILES ${DIST}/copyright ${TUNOVA_GZ_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

# --- Debian packages ------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tunova)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_VENDOR "The Tunova developers")
set(CPACK_PACKAGE_CONTACT "The Tunova developers <developers@tunova.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL app catalogue)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_APP_PACKAGE_NAME tunova)
set(CPACK_DEBIAN_APP_PACKAGE_SECTION sound)
# Loaded at run time, so shlibdeps cannot see them: the GStreamer elements that decode MP3 and
# play sound, and the CJK font the windows are drawn with. (libcurl comes with tunova-net.so,
# which links it, so shlibdeps names it.)
set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS
  "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-pulseaudio | gstreamer1.0-alsa, fonts-noto-cjk")
set(CPACK_COMPONENT_APP_DESCRIPTION "find songs in a music catalogue and keep them
Tunova lists the songs a catalogue service finds for a term or one of seven
mood tags. A song can be played in a small player window, downloaded as an
MP3 file into a chosen folder, or its address copied. The window is in
Chinese.")
set(CPACK_DEBIAN_CATALOGUE_PACKAGE_NAME tunova-catalogue)
set(CPACK_DEBIAN_CATALOGUE_PACKAGE_SECTION sound)
set(CPACK_COMPONENT_CATALOGUE_DESCRIPTION "small music catalogue service for Tunova
tunova-catalogue indexes the MP3 files of a folder and serves searches,
mood collections and the files over HTTP, as Tunova expects. A hardened
systemd unit runs it under a user of its own.")
include(CPack)
