# What `cmake --install` puts where (GNU layout under CMAKE_INSTALL_PREFIX,
# DESTDIR honoured), and the Debian package built from it by `cpack -G DEB`.
include(GNUInstallDirs)
install(TARGETS kavelo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kavelo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kavelo.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kavelo)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kavelo)
set(CPACK_PACKAGE_VENDOR "Kavelo developers")
set(CPACK_PACKAGE_CONTACT "Kavelo maintainers <maintainers@kavelo.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "save a stream from an RTMP server as an FLV file")
# The paragraph of the package's long description, wrapped for dpkg.
set(CPACK_PACKAGE_DESCRIPTION "Kavelo connects to an RTMP server, or to an rtmps server over TLS, plays
one stream and writes its audio, video and metadata as an FLV file or as an
FLV byte stream on standard output. It saves recorded and live streams,
Enhanced RTMP codecs (HEVC, AV1, VP9, Opus, FLAC, AC-3) included, starts and
stops at offsets, resumes an interrupted download from the last keyframe of
the partial file once it has checked that the server resumed there, and
reconnects by itself after a lost connection when asked to.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the libraries the binary really links (libssl3, libc6, ...).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Debian ships man pages and the changelog gzip-compressed, and the licence as
# `copyright`; `cmake --install` leaves them as they are.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/compress_man.cmake ${CMAKE_CURRENT_LIST_DIR}/deb_docs.cmake)
include(CPack)
