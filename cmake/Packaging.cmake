# Installation and the Debian package.
#
# The programs go into the binary directory; our virizeda.so goes into a
# directory of its own under the library directory, never onto the
# system's library path: its name is the camera maker's, and a user may
# have the maker's own. The programs find it by a run path relative to
# themselves, so an installed tree can move.

set(CMAKE_INSTALL_DOCDIR share/doc/dcam CACHE PATH
    "Documentation (README and docs)")
include(GNUInstallDirs)
# Under Debian's multiarch directory even below /usr/local: a package's
# library in a subdirectory of /usr/lib itself would get ldconfig calls
# from CPack, and with them a removal script that keeps the package's
# record after `apt remove`.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(dcam_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE}/dcam)
else()
  set(dcam_libdir ${CMAKE_INSTALL_LIBDIR}/dcam)
endif()
set(DCAM_INSTALL_LIBRARYDIR ${dcam_libdir} CACHE PATH
    "Private directory of virizeda.so, relative to the prefix")
# udev reads packaged rules from /usr/lib/udev/rules.d and a local
# administrator's from /usr/local/lib/udev/rules.d.
set(DCAM_INSTALL_UDEVRULESDIR lib/udev/rules.d CACHE PATH
    "Where the udev rule goes, relative to the prefix or absolute")

file(RELATIVE_PATH dcam_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${DCAM_INSTALL_LIBRARYDIR})
# RUNPATH rather than the old RPATH: LD_LIBRARY_PATH then comes first,
# which is how a user runs the installed programs on another virizeda.so.
# An outside library's own directory stays on the run path.
set_target_properties(capture viewer PROPERTIES
  INSTALL_RPATH "\$ORIGIN/${dcam_bin_to_lib}"
  INSTALL_RPATH_USE_LINK_PATH TRUE)
set_property(TARGET capture viewer APPEND PROPERTY
  LINK_OPTIONS "LINKER:--enable-new-dtags")

install(TARGETS capture viewer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT VIRIZEDA_LIBRARY)
  # a shared library is read, not run
  install(TARGETS virizeda LIBRARY DESTINATION ${DCAM_INSTALL_LIBRARYDIR}
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
install(FILES data/udev/60-virizeda-iidc.rules
              data/udev/60-virizeda-usb3vision.rules
        DESTINATION ${DCAM_INSTALL_UDEVRULESDIR})
install(FILES data/applications/dcam-capture.desktop
              data/applications/dcam-viewer.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/icons/dcam.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES data/icons/dcam.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps)
# the README links into docs/
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md")

# ---------------------------------------------------------------- package
# cpack -G DEB in the build directory makes dcam_<version>_<arch>.deb, with
# the prefix /usr (the generator's default).
set(CPACK_PACKAGE_NAME dcam)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_CONTACT "DCAM maintainers <dcam@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "capture and viewer for IIDC, GigE Vision and USB3 Vision cameras")
set(CPACK_PACKAGE_DESCRIPTION
"dcam-capture shows live video of FireWire IIDC (DCAM) cameras and of
GenICam cameras on GigE Vision and USB3 Vision, stereo cameras included,
sets their video parameters, records frames and stores them as BMP files,
and programs their firmware registers. dcam-viewer is a minimal live view
of the first camera.

Both reach cameras through the camera library virizeda.so, installed in a
private directory. Without a camera it simulates a bus of cameras. udev
rules give the cameras' FireWire and USB3 Vision nodes to the group video.")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the libraries the programs and virizeda.so link.
# dpkg-shlibdeps follows the programs' relative run path to the
# virizeda.so inside the package, so no other package is asked for it;
# an outside one no package holds is named as private.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# GenICam cameras are reached through aravis; named as well, so the package
# asks for it whichever of our files links it.
if(TARGET vzaravis)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libaravis-0.8-0")
endif()
if(VIRIZEDA_LIBRARY)
  get_filename_component(dcam_outside_dir ${VIRIZEDA_LIBRARY} DIRECTORY)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${dcam_outside_dir})
endif()
set(CPACK_STRIP_FILES TRUE)
# Only a postinst: with a postrm, dpkg would keep the package's record
# after `apt remove` until a purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/data/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git" "/build[^/]*/")
include(CPack)

# ------------------------------------------------------------------ tests
# The sanitizer build checks memory, not the installed tree; a build on an
# outside library installs none of ours to check.
if(BUILD_TESTS AND NOT SANITIZE AND NOT VIRIZEDA_LIBRARY)
  add_test(NAME install.MovedTreeRuns
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/with-xvfb
            ${CMAKE_SOURCE_DIR}/tests/install-check.sh tree
            ${CMAKE_BINARY_DIR} $<TARGET_FILE:test_e2e>)
  add_test(NAME install.DebianPackage
    COMMAND ${CMAKE_SOURCE_DIR}/tests/install-check.sh deb ${CMAKE_BINARY_DIR})
  set_tests_properties(install.MovedTreeRuns install.DebianPackage
                       PROPERTIES TIMEOUT 300)
endif()
