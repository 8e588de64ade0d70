# Installation the way Linux desktop programs are installed, and a .deb through CPack.
#
# The programs are installed from stripped copies made here, in build/package/. The launcher
# template is packed from the stripped launcher image and the very same stripped trestel that
# goes to bin/, so its "Trestel.exe" is byte for byte /usr/bin/trestel. The template is installed
# as a plain file copy and must never be stripped again: stripping drops the payload appended
# to it.

set(PACKAGE_NAME pocket-lorvex-installer)
set(PACKAGE_STAGE ${CMAKE_BINARY_DIR}/package)
set(PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${PACKAGE_NAME})
# The AppStream component id: reverse DNS of the project's contact domain.
set(METAINFO_ID invalid.pocket_lorvex.trestel)

# The desktop entry and the metainfo are made from these files: configure again when they change.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/pocket-lorvex-modules.xml ${CMAKE_CURRENT_LIST_DIR}/changelog
    ${CMAKE_CURRENT_LIST_DIR}/copyright)

# The MIME types that the desktop entry and the metainfo name are the ones the definitions hold.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/pocket-lorvex-modules.xml mime_lines
     REGEX "<mime-type type=\"[^\"]+\"")
set(TRESTEL_MIME_TYPES "")
set(METAINFO_MEDIATYPES "")
foreach(line IN LISTS mime_lines)
    string(REGEX REPLACE ".*<mime-type type=\"([^\"]+)\".*" "\\1" type "${line}")
    string(APPEND TRESTEL_MIME_TYPES "${type};")
    string(APPEND METAINFO_MEDIATYPES "    <mediatype>${type}</mediatype>\n")
endforeach()
string(STRIP "${METAINFO_MEDIATYPES}" METAINFO_MEDIATYPES)
set(METAINFO_MEDIATYPES "    ${METAINFO_MEDIATYPES}")

# The changelog's latest entry must be the product's version; its date dates the release.
set(PACKAGE_CHANGELOG ${CMAKE_CURRENT_LIST_DIR}/changelog)
file(STRINGS ${PACKAGE_CHANGELOG} changelog_head LIMIT_COUNT 1)
string(REGEX REPLACE "^[^ ]+ \\(([^)]+)\\).*" "\\1" changelog_version "${changelog_head}")
if(NOT changelog_version STREQUAL PRODUCT_VERSION)
    message(FATAL_ERROR "packaging/changelog starts with version ${changelog_version}, but "
                        "PRODUCT_VERSION is ${PRODUCT_VERSION}: add a changelog entry")
endif()
file(STRINGS ${PACKAGE_CHANGELOG} changelog_trailer REGEX "^ -- " LIMIT_COUNT 1)
set(months_of_year Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
if(NOT changelog_trailer MATCHES ", 0?([1-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "packaging/changelog: no date in \"${changelog_trailer}\"")
endif()
set(day ${CMAKE_MATCH_1})
set(year ${CMAKE_MATCH_3})
list(FIND months_of_year "${CMAKE_MATCH_2}" month_index)
math(EXPR month "${month_index} + 1")
foreach(part IN ITEMS day month)
    if(${part} LESS 10)
        set(${part} "0${${part}}")
    endif()
endforeach()
set(RELEASE_DATE "${year}-${month}-${day}")

# The licence named in the copyright file is the one the metainfo declares.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/copyright license_line REGEX "^License: " LIMIT_COUNT 1)
string(REGEX REPLACE "^License: " "" PROJECT_LICENSE "${license_line}")

configure_file(${CMAKE_CURRENT_LIST_DIR}/trestel.desktop.in
               ${CMAKE_BINARY_DIR}/packaging/trestel.desktop @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/trestel.metainfo.xml.in
               ${CMAKE_BINARY_DIR}/packaging/${METAINFO_ID}.metainfo.xml @ONLY)

# Stripped copies of the programs, the way a distribution's build strips them.
set(package_files "")
foreach(program IN ITEMS trestel handheld-sim bundora-pack bundora-image)
    if(TARGET ${program})
        add_custom_command(OUTPUT ${PACKAGE_STAGE}/${program}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${PACKAGE_STAGE}
            COMMAND ${CMAKE_STRIP} --strip-all --remove-section=.comment --remove-section=.note
                    -o ${PACKAGE_STAGE}/${program} $<TARGET_FILE:${program}>
            DEPENDS ${program}
            VERBATIM)
        list(APPEND package_files ${PACKAGE_STAGE}/${program})
    endif()
endforeach()

# The launcher template: the stripped image with the stripped trestel appended.
if(TARGET trestel AND TARGET bundora-image)
    set(template ${PACKAGE_STAGE}/bundora)
    add_custom_command(OUTPUT ${template}
        COMMAND ${CMAKE_COMMAND} -E copy ${PACKAGE_STAGE}/bundora-image ${template}.part
        COMMAND bundora-pack append ${template}.part Trestel.exe ${PACKAGE_STAGE}/trestel
        COMMAND ${CMAKE_COMMAND} -E rename ${template}.part ${template}
        DEPENDS ${PACKAGE_STAGE}/bundora-image ${PACKAGE_STAGE}/trestel bundora-pack
        COMMENT "Packing the stripped trestel into the launcher template"
        VERBATIM)
    list(APPEND package_files ${template})
endif()

# Manual pages from each program's --help and --version, with the sections in packaging/man/.
find_program(HELP2MAN help2man)
find_program(DPKG_PARSECHANGELOG dpkg-parsechangelog)
if(HELP2MAN AND DPKG_PARSECHANGELOG)
    set(man_commands_handheld-sim create show unplug plug set)
    foreach(page IN ITEMS trestel handheld-sim bundora-pack bundora)
        set(program ${page})
        if(page STREQUAL "bundora")
            set(program bundora-image)
        endif()
        if(NOT TARGET ${program})
            continue()
        endif()
        set(out ${CMAKE_BINARY_DIR}/packaging/man/${page}.1.gz)
        add_custom_command(OUTPUT ${out}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/man
            COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/man/make-manpage.sh ${out}
                    $<TARGET_FILE:${program}> ${CMAKE_CURRENT_LIST_DIR}/man/${page}.h2m
                    ${PACKAGE_CHANGELOG} ${man_commands_${page}}
            DEPENDS ${program} ${CMAKE_CURRENT_LIST_DIR}/man/${page}.h2m
                    ${CMAKE_CURRENT_LIST_DIR}/man/make-manpage.sh ${PACKAGE_CHANGELOG}
            COMMENT "Writing the manual page ${page}(1)"
            VERBATIM)
        list(APPEND package_files ${out})
        install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endforeach()
else()
    message(WARNING "help2man or dpkg-parsechangelog not found: no manual pages "
                    "(tools/setup-deps.sh installs them)")
endif()

# The changelog as Debian keeps it: gzip without a time stamp.
set(changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
    COMMAND sh -c "gzip -9n <\"$0\" >\"$1\"" ${PACKAGE_CHANGELOG} ${changelog_gz}
    DEPENDS ${PACKAGE_CHANGELOG}
    VERBATIM)
list(APPEND package_files ${changelog_gz})

add_custom_target(package-files ALL DEPENDS ${package_files})

foreach(program IN ITEMS trestel handheld-sim bundora-pack)
    if(TARGET ${program})
        install(PROGRAMS ${PACKAGE_STAGE}/${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()
# The launcher template goes beside nothing: people copy it next to their modules.
if(TARGET trestel AND TARGET bundora-image)
    install(PROGRAMS ${PACKAGE_STAGE}/bundora DESTINATION ${CMAKE_INSTALL_LIBDIR}/pocket-lorvex)
endif()

foreach(size IN ITEMS 16 32)
    install(FILES ${PROJECT_SOURCE_DIR}/trestel/icons/trestel-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME trestel.png)
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/packaging/trestel.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_BINARY_DIR}/packaging/${METAINFO_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/pocket-lorvex-modules.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${changelog_gz} DESTINATION ${PACKAGE_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PRODUCT_VERSION})
set(CPACK_PACKAGE_VENDOR "Pocket Lorvex")
set(CPACK_PACKAGE_CONTACT "Pocket Lorvex installer team <installer@pocket-lorvex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "install Pocket Lorvex reader modules onto a handheld")
set(CPACK_PACKAGE_DESCRIPTION
    "Pocket Lorvex is a reader for handhelds; its content comes in module files
(.bbl, .cmt, .dct, .dev, .map). This package holds the desktop side that puts
modules onto a handheld:

 * trestel, the module installer: a small window that opens the link to the
   handheld, lists the folders there that can take the module and copies it
   with a progress bar. File managers open module files with it.
 * a bundle launcher template (/usr/lib/pocket-lorvex/bundora) that carries
   the installer; copied beside modules and started, it runs the installer
   once for each of them.
 * bundora-pack, which appends, lists and extracts the files a launcher
   carries.
 * handheld-sim, which creates and changes the emulated handheld (a folder
   tree) that the installer's built-in device uses.

The installer writes nothing on the handheld but the module file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Strips what other install(TARGETS) rules install (libraries); the programs above are stripped
# already, and install(PROGRAMS) files such as the template are never touched by this.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# fonts-wine: the Tahoma that the installer window is laid out for; fonts-dejavu-extra: the
# condensed bold that stands beside it (Wine ships no true bold Tahoma).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wine, fonts-dejavu-extra")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "shared-mime-info, desktop-file-utils")
include(CPack)
