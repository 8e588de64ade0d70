# Installation the way Linux desktop programs are installed, and a .deb through CPack.
#
# The package's control data, changelog and copyright are the Debian source package's own files
# in debian/: the Debian build (dpkg-buildpackage) and a quick CPack .deb are made from the same
# ones and give the same binary package.
#
# The programs and libraries are installed from stripped copies made here, in build/package/.
# The launcher template is packed from the stripped launcher image and the very same stripped
# trestel that goes to bin/, so its "Trestel.exe" is byte for byte /usr/bin/trestel. The template
# is installed as a plain file copy and must never be stripped again: stripping drops the payload
# appended to it.

set(PACKAGE_DEBIAN ${PROJECT_SOURCE_DIR}/debian)
set(PACKAGE_CONTROL ${PACKAGE_DEBIAN}/control)
set(PACKAGE_CHANGELOG ${PACKAGE_DEBIAN}/changelog)
set(PACKAGE_COPYRIGHT ${PACKAGE_DEBIAN}/copyright)
set(PACKAGE_STAGE ${CMAKE_BINARY_DIR}/package)
# The AppStream component id: reverse DNS of the project's contact domain.
set(METAINFO_ID invalid.pocket_lorvex.trestel)

# The desktop entry, the metainfo and the CPack settings are made from these files: configure
# again when they change.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/pocket-lorvex-modules.xml ${PACKAGE_CONTROL} ${PACKAGE_CHANGELOG}
    ${PACKAGE_COPYRIGHT})

# The value of FIELD in the paragraph of debian/control whose first field is HEAD ("Source" or
# "Package"), continuation lines included (each still starting with its blank).
file(READ ${PACKAGE_CONTROL} package_control)
function(control_field out head field)
    string(REGEX MATCH "(^|\n)${head}:.*" paragraph "${package_control}")
    string(REGEX REPLACE "\n\n.*" "" paragraph "${paragraph}")
    if(NOT "\n${paragraph}" MATCHES "\n${field}:[ \t]*([^\n]*(\n[ \t][^\n]*)*)")
        message(FATAL_ERROR "debian/control: no ${field} field for ${head}")
    endif()
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

# A relation field as CPack takes it: the listed packages alone, without the substitution
# variables (${shlibs:Depends}, ...) that CPack fills in by itself.
function(control_relations out field)
    control_field(value Package ${field})
    string(REGEX REPLACE "\\$\\{[^}]*\\}" "" value "${value}")
    string(REGEX REPLACE "[ \t\n]+" " " value "${value}")
    string(REGEX REPLACE "( ?, ?)+" ", " value "${value}")
    string(REGEX REPLACE "^[ ,]+|[ ,]+$" "" value "${value}")
    set(${out} "${value}" PARENT_SCOPE)
endfunction()

control_field(PACKAGE_NAME Package Package)
set(PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${PACKAGE_NAME})

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

# The changelog's latest entry must be the product's version; its date dates the release and
# every file of the package (SOURCE_DATE_EPOCH, as the Debian build takes it).
file(STRINGS ${PACKAGE_CHANGELOG} changelog_head LIMIT_COUNT 1)
string(REGEX REPLACE "^[^ ]+ \\(([^)]+)\\).*" "\\1" changelog_version "${changelog_head}")
if(NOT changelog_version STREQUAL PRODUCT_VERSION)
    message(FATAL_ERROR "debian/changelog starts with version ${changelog_version}, but "
                        "PRODUCT_VERSION is ${PRODUCT_VERSION}: add a changelog entry")
endif()
file(STRINGS ${PACKAGE_CHANGELOG} changelog_trailer REGEX "^ -- " LIMIT_COUNT 1)
set(months_of_year Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
if(NOT changelog_trailer MATCHES
   ", 0?([1-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ([0-9:]+) ([+-][0-9]+)")
    message(FATAL_ERROR "debian/changelog: no date in \"${changelog_trailer}\"")
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
find_program(DPKG_PARSECHANGELOG dpkg-parsechangelog)
if(DPKG_PARSECHANGELOG)
    execute_process(COMMAND ${DPKG_PARSECHANGELOG} -l ${PACKAGE_CHANGELOG} -S Timestamp
                    OUTPUT_VARIABLE PACKAGE_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                    COMMAND_ERROR_IS_FATAL ANY)
endif()

# The licence named in the copyright file is the one the metainfo declares.
file(STRINGS ${PACKAGE_COPYRIGHT} license_line REGEX "^License: " LIMIT_COUNT 1)
string(REGEX REPLACE "^License: " "" PROJECT_LICENSE "${license_line}")

configure_file(${CMAKE_CURRENT_LIST_DIR}/trestel.desktop.in
               ${CMAKE_BINARY_DIR}/packaging/trestel.desktop @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/trestel.metainfo.xml.in
               ${CMAKE_BINARY_DIR}/packaging/${METAINFO_ID}.metainfo.xml @ONLY)

# Stripped copies of the programs and libraries, the way a distribution's build strips them.
set(package_files "")
# Programs lose every symbol; the SynCE bridge keeps the dynamic ones it exports.
set(strip_trestel-synce --strip-unneeded)
set(bridge_file ${CMAKE_SHARED_LIBRARY_PREFIX}trestel-synce${CMAKE_SHARED_LIBRARY_SUFFIX})
set(staged_trestel-synce ${bridge_file})
foreach(program IN ITEMS trestel handheld-sim bundora-pack bundora-image trestel-synce)
    if(TARGET ${program})
        set(staged ${PACKAGE_STAGE}/${program})
        if(DEFINED staged_${program})
            set(staged ${PACKAGE_STAGE}/${staged_${program}})
        endif()
        if(NOT DEFINED strip_${program})
            set(strip_${program} --strip-all)
        endif()
        add_custom_command(OUTPUT ${staged}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${PACKAGE_STAGE}
            COMMAND ${CMAKE_STRIP} ${strip_${program}} --remove-section=.comment
                    --remove-section=.note -o ${staged} $<TARGET_FILE:${program}>
            DEPENDS ${program}
            VERBATIM)
        list(APPEND package_files ${staged})
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
    # Each command of handheld-sim gets its subsection, from its own --help.
    set(man_commands_handheld-sim --commands)
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
# The SynCE bridge, which the installer loads when SynCE is installed.
if(TARGET trestel-synce)
    install(FILES ${PACKAGE_STAGE}/${bridge_file} DESTINATION ${TRESTEL_PRIVATE_LIBDIR})
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
install(FILES ${PACKAGE_COPYRIGHT} ${changelog_gz} ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${PACKAGE_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${PACKAGE_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md")

# A quick .deb with CPack, the same package as the Debian build makes (dpkg-buildpackage), from
# the same control data. Its files are dated by the changelog, so that every run gives the same
# bytes.
# The description: its first line the summary, the rest without the one blank that starts each
# line and with the " ." lines empty again (CPack puts both back). (No "^" in these patterns:
# CMake's REGEX REPLACE matches it again wherever the last match ended.)
control_field(description Package Description)
string(FIND "${description}" "\n" summary_end)
string(SUBSTRING "${description}" 0 ${summary_end} CPACK_PACKAGE_DESCRIPTION_SUMMARY)
string(SUBSTRING "${description}" ${summary_end} -1 description)
string(REPLACE "\n " "\n" description "${description}")
string(APPEND description "\n")
string(REPLACE "\n.\n" "\n\n" description "${description}")
string(REPLACE "\n.\n" "\n\n" description "${description}")
string(STRIP "${description}" description)
set(CPACK_PACKAGE_DESCRIPTION "${description}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PRODUCT_VERSION})
set(CPACK_PACKAGE_VENDOR "Pocket Lorvex")
control_field(CPACK_PACKAGE_CONTACT Source Maintainer)
control_field(CPACK_DEBIAN_PACKAGE_SECTION Source Section)
control_field(CPACK_DEBIAN_PACKAGE_PRIORITY Source Priority)
control_field(CPACK_DEBIAN_PACKAGE_HOMEPAGE Source Homepage)
control_relations(CPACK_DEBIAN_PACKAGE_DEPENDS Depends)
control_relations(CPACK_DEBIAN_PACKAGE_RECOMMENDS Recommends)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Everything installed is stripped already (above); install(PROGRAMS) files such as the template
# must never be touched again.
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(PACKAGE_CPACK_SETTINGS ${CMAKE_BINARY_DIR}/packaging/cpack-settings.cmake)
file(WRITE ${PACKAGE_CPACK_SETTINGS}
    "# Written by packaging/Packaging.cmake: the date of every file in the package.\n"
    "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})\n"
    "    set(ENV{SOURCE_DATE_EPOCH} \"${PACKAGE_SOURCE_DATE_EPOCH}\")\n"
    "endif()\n")
set(CPACK_PROJECT_CONFIG_FILE ${PACKAGE_CPACK_SETTINGS})
include(CPack)
