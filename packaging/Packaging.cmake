# Installation the way Linux desktop programs are installed, and a .deb through CPack.
# The packed launcher is installed as a plain file copy: it must never be stripped, since
# stripping drops the payload appended to it.

set(TRESTEL_MIME_TYPES
    "application/x-pocket-lorvex-bbl;application/x-pocket-lorvex-cmt;application/x-pocket-lorvex-dct;application/x-pocket-lorvex-dev;application/x-pocket-lorvex-map;")
configure_file(${CMAKE_CURRENT_LIST_DIR}/trestel.desktop.in
               ${CMAKE_BINARY_DIR}/packaging/trestel.desktop @ONLY)

# trestel and its 48-pixel and scalable icons are installed by trestel/ui.cmake.
foreach(program IN ITEMS handheld-sim bundora-pack)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

# The delivered launcher goes beside nothing: people copy it next to their modules.
if(TARGET bundora-packed)
    install(PROGRAMS ${CMAKE_BINARY_DIR}/bin/bundora
            DESTINATION ${CMAKE_INSTALL_LIBDIR}/pocket-lorvex)
endif()

foreach(size IN ITEMS 16 32)
    install(FILES ${PROJECT_SOURCE_DIR}/trestel/icons/trestel-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME trestel.png)
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/packaging/trestel.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/pocket-lorvex-modules.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pocket-lorvex-installer)
set(CPACK_PACKAGE_VERSION ${PRODUCT_VERSION})
set(CPACK_PACKAGE_VENDOR "Pocket Lorvex")
set(CPACK_PACKAGE_CONTACT "Pocket Lorvex installer team <installer@pocket-lorvex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Installs Pocket Lorvex modules onto a handheld (installer, bundle launcher, emulated handheld)")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "shared-mime-info, desktop-file-utils")
include(CPack)
