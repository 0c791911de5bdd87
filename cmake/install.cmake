# Installed layout, man pages and the Debian package.
#   bin/brenix, bin/brenix-gui
#   share/brenix/rp.dat, share/brenix/brenix-help.html
#   share/applications/brenix.desktop, share/metainfo/*.metainfo.xml
#   share/icons/hicolor/{scalable,NxN}/apps/brenix.{svg,png}
#   share/man/man1/brenix.1, brenix-gui.1
#   share/bash-completion/completions/brenix
include(GNUInstallDirs)
set(desktop_dir ${PROJECT_SOURCE_DIR}/data/desktop)

install(FILES ${PROJECT_SOURCE_DIR}/data/help/brenix-help.html DESTINATION ${CMAKE_INSTALL_DATADIR}/brenix)
install(FILES ${desktop_dir}/brenix.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(${desktop_dir}/io.github.brenix.PhotoRecovery.metainfo.xml
  ${CMAKE_BINARY_DIR}/io.github.brenix.PhotoRecovery.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/io.github.brenix.PhotoRecovery.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/data/icons/brenix.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 16 32 48 64 128 256)
  install(FILES ${PROJECT_SOURCE_DIR}/data/icons/brenix-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME brenix.png)
endforeach()
install(FILES ${desktop_dir}/brenix.bash-completion DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME brenix)

# Package documentation: copyright and the (compressed) changelog.
set(changelog_gz ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/data/debian/changelog ${CMAKE_BINARY_DIR}/changelog
  COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/data/debian/changelog)
add_custom_target(brenix_changelog ALL DEPENDS ${changelog_gz})
install(FILES ${PROJECT_SOURCE_DIR}/data/debian/copyright ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Man pages from the programs' own --help and --version (not for a
# cross-build: its programs do not run on the build machine).
find_program(HELP2MAN help2man)
if(HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  set(man_dir ${CMAKE_BINARY_DIR}/man)
  file(MAKE_DIRECTORY ${man_dir})
  add_custom_command(OUTPUT ${man_dir}/brenix.1
    COMMAND ${HELP2MAN} --no-info --section=1 --name "find and recover deleted photos and files"
            --version-string=${PROJECT_VERSION} --output=${man_dir}/brenix.1 $<TARGET_FILE:brenix>
    DEPENDS brenix COMMENT "Writing the brenix manual page")
  set(man_pages ${man_dir}/brenix.1)
  if(TARGET brenix-gui)
    add_custom_command(OUTPUT ${man_dir}/brenix-gui.1
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              ${HELP2MAN} --no-info --section=1 --name "desktop application of Brenix Photo Recovery"
              --version-string=${PROJECT_VERSION} --output=${man_dir}/brenix-gui.1 $<TARGET_FILE:brenix-gui>
      DEPENDS brenix-gui COMMENT "Writing the brenix-gui manual page")
    list(APPEND man_pages ${man_dir}/brenix-gui.1)
  endif()
  set(man_gz "")
  foreach(page IN LISTS man_pages)
    add_custom_command(OUTPUT ${page}.gz COMMAND gzip -9nf -k ${page} DEPENDS ${page})
    list(APPEND man_gz ${page}.gz)
  endforeach()
  add_custom_target(brenix_man ALL DEPENDS ${man_gz})
  install(FILES ${man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found or a cross-build: no manual pages")
endif()

# cpack -G DEB
set(CPACK_PACKAGE_NAME brenix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Brenix developers")
set(CPACK_PACKAGE_CONTACT "The Brenix developers <brenix@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find and recover deleted photos and files")
set(CPACK_PACKAGE_DESCRIPTION "Brenix Photo Recovery reads a disk or disk image and recovers deleted
files of FAT, exFAT, NTFS and EXT partitions, files of formatted partitions,
and pictures found by their content. It also backs up partition tables,
searches for lost partitions and repairs mail store files.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The desktop application needs a Qt platform plugin; the image plugins add TIFF, TGA, ... previews.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-image-formats-plugins")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
