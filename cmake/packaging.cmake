# What an installation holds and the packages CPack builds from it: a .deb on
# Linux, a zip on Windows (see scripts/package.sh). A document that belongs in
# both packages is added to QOR_PACKAGE_DOCS; the documents the README links to
# (docs/*.md and their pictures) go beside it in a docs folder of their own, so
# that its links hold where it is installed.
include(GNUInstallDirs)

set(QOR_PACKAGE_DOCS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/events.schema.json)
file(GLOB QOR_PACKAGE_GUIDES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md ${PROJECT_SOURCE_DIR}/docs/*.png)

# Directories are created 0755 whatever the umask of whoever builds.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "The qor-ndi-send authors")
set(CPACK_PACKAGE_CONTACT "The qor-ndi-send authors <dev@qor.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay one RTSP feed as an NDI source")
set(CPACK_PACKAGE_DESCRIPTION
"qor-ndi-send turns one live RTSP feed into one NDI source on the local
network. A controlling program starts it with a URL and a name; the tool
runs ffmpeg as a child process to decode, hands the pictures and the audio
to the vendor's NDI runtime, loaded at run time, and reports every step as
JSON lines on standard output until its standard input closes.

The NDI runtime (libndi.so.6) is not part of this package: install the
vendor's runtime, or name its folder in NDI_RUNTIME_DIR_V6.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  # One folder: the programs with their documents and an example sources file
  # beside them (the supervisor finds the tool there: a bare program name is
  # looked for first in the folder of the program that starts it).
  install(TARGETS qor-ndi-send qor-ndi-supervise RUNTIME DESTINATION .)
  install(FILES ${QOR_PACKAGE_DOCS} ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/service/sources.example.json
          DESTINATION .)
  install(FILES ${QOR_PACKAGE_GUIDES} DESTINATION docs)
  # The notices of the libraries compiled into the programs, as the .deb's
  # copyright file carries them, and the licence texts that nettle's files
  # (LGPL-3+) must travel with: a Windows machine has no common-licenses folder.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION . RENAME THIRD-PARTY-NOTICES.txt)
  install(FILES /usr/share/common-licenses/LGPL-3 DESTINATION . RENAME LGPL-3.txt)
  install(FILES /usr/share/common-licenses/GPL-3 DESTINATION . RENAME GPL-3.txt)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(QOR_WINDOWS_FLAVOUR win64)
  else()
    set(QOR_WINDOWS_FLAVOUR win32)
  endif()
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${QOR_WINDOWS_FLAVOUR})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  # The changelog records the version it describes; it must be this one.
  file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog QOR_CHANGELOG_TOP LIMIT_COUNT 1)
  if(NOT QOR_CHANGELOG_TOP MATCHES "^${PROJECT_NAME} \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog does not begin with version ${PROJECT_VERSION}")
  endif()

  # The manual pages carry the version; they and the changelog ship gzipped
  # without a name or time stamp (gzip -9n), as Debian's policy asks.
  set(QOR_MAN_GZ)
  foreach(page qor-ndi-send qor-ndi-supervise)
    configure_file(${PROJECT_SOURCE_DIR}/docs/${page}.1.in ${PROJECT_BINARY_DIR}/${page}.1 @ONLY)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${page}.1.gz
      COMMAND sh -c "gzip -9n -c ${page}.1 > ${page}.1.gz"
      DEPENDS ${PROJECT_BINARY_DIR}/${page}.1
      WORKING_DIRECTORY ${PROJECT_BINARY_DIR} VERBATIM)
    list(APPEND QOR_MAN_GZ ${PROJECT_BINARY_DIR}/${page}.1.gz)
  endforeach()
  set(QOR_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${QOR_CHANGELOG_GZ}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
    COMMAND sh -c "gzip -9n -c '${PROJECT_SOURCE_DIR}/packaging/debian/changelog' > packaging/changelog.gz"
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR} VERBATIM)
  add_custom_target(qor_package_docs ALL DEPENDS ${QOR_MAN_GZ} ${QOR_CHANGELOG_GZ})

  install(TARGETS qor-ndi-send RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${QOR_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${QOR_PACKAGE_DOCS} ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${QOR_CHANGELOG_GZ}
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${QOR_PACKAGE_GUIDES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

  # The service: the supervisor, its unit where Debian 12's systemd keeps
  # packaged units, and its two files under /etc, which are conffiles (an
  # upgrade never replaces an operator's list or settings without asking).
  install(TARGETS qor-ndi-supervise RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/service/qor-ndi-supervise.service DESTINATION /lib/systemd/system)
  install(FILES ${PROJECT_SOURCE_DIR}/service/sysusers.conf DESTINATION /usr/lib/sysusers.d RENAME qor-ndi-send.conf)
  install(FILES ${PROJECT_SOURCE_DIR}/service/sources.json DESTINATION /etc/qor-ndi-send)
  install(FILES ${PROJECT_SOURCE_DIR}/service/default DESTINATION /etc/default RENAME qor-ndi-send)
  # For the monitoring host, not this box: Prometheus's alert rules and a
  # Grafana dashboard for the metrics, to copy from here.
  install(FILES ${PROJECT_SOURCE_DIR}/service/prometheus-alerts.yml ${PROJECT_SOURCE_DIR}/service/grafana-dashboard.json
          DESTINATION ${CMAKE_INSTALL_DATADIR}/qor-ndi-send)

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ffmpeg)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Maintainer scripts as debhelper writes them for a service that is neither
  # enabled nor started on installation (the list starts empty).
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
      ${PROJECT_SOURCE_DIR}/packaging/debian/prerm ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
  # /bin/kill for the service's reload, systemd-sysusers for its account; the
  # scan adds the libraries the tool and the supervisor link.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps, systemd | systemd-standalone-sysusers")
  # CPack asks dpkg for the architecture, which is the build machine's; a
  # cross build names the target's instead. dpkg-shlibdeps cannot read the
  # libraries of another architecture, so a cross build states the dependencies
  # that the scan gives the native build (the same three libraries, and symbol
  # versions up to GLIBC_2.34 and GLIBCXX_3.4.30, which the supervisor's
  # condition variables and number formatting need); the package checks
  # compare the two packages' Depends.
  if(CMAKE_CROSSCOMPILING)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
    endif()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps, systemd | systemd-standalone-sysusers, libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
  endif()
endif()

include(CPack)
