# Installation rules and the Debian package (scripts/package.sh runs cpack).
# The program goes to /usr/bin; its own shared libraries go to a private
# folder that only it finds (through its run path), so nothing else on the
# system can load them by accident; the device simulator lives beside them,
# with a link on the path for operators who rehearse without a device.
set(TIDECAST_PRIVATE_LIBDIR lib/tidecast)

if(TARGET Tidecast AND TARGET devsim)
  set_target_properties(Tidecast PROPERTIES INSTALL_RPATH "$ORIGIN/../${TIDECAST_PRIVATE_LIBDIR}")
  set_target_properties(velmaro trel32 devsim PROPERTIES INSTALL_RPATH "")
  install(TARGETS Tidecast RUNTIME DESTINATION bin)
  install(TARGETS velmaro trel32 LIBRARY DESTINATION ${TIDECAST_PRIVATE_LIBDIR} NAMELINK_SKIP)
  install(TARGETS devsim RUNTIME DESTINATION ${TIDECAST_PRIVATE_LIBDIR})
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
  file(CREATE_LINK ../${TIDECAST_PRIVATE_LIBDIR}/devsim ${CMAKE_BINARY_DIR}/packaging/tidecast-devsim SYMBOLIC)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/tidecast-devsim DESTINATION bin)

  set(packaging ${CMAKE_SOURCE_DIR}/packaging)
  install(FILES ${packaging}/tidecast.desktop DESTINATION share/applications)
  install(FILES ${packaging}/tidecast.svg DESTINATION share/icons/hicolor/scalable/apps)
  install(FILES ${packaging}/tidecast@.service DESTINATION lib/systemd/system)
  install(FILES ${packaging}/tidecast-room.conf.example ${CMAKE_SOURCE_DIR}/README.md
          DESTINATION share/doc/tidecast)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tidecast)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Push tool for lecture-recording devices (RTSP in, RTMP out)")
set(CPACK_PACKAGE_DESCRIPTION "Tidecast logs in to a lecture-recording device, pulls its live H.264 and AAC
over RTSP, can hold the stream back by a number of seconds, and republishes
it to an RTMP server. One window for an operator, a launch mode for programs
that start one instance per room, and a systemd unit tidecast@<room>.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # tidecast_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tidecast developers <tidecast@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's platform plug-ins (offscreen for rooms without a display) are not
# found by the shared-library scan; the simulator's GStreamer elements and
# the Chinese font are wanted but not needed to push.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "fonts-wqy-microhei, gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-bad, gstreamer1.0-plugins-ugly, gstreamer1.0-libav")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
