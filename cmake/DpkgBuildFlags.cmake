# Release builds take Debian's hardening flags by default: the ones dpkg-buildflags gives with
# every hardening feature on (stack protector, fortify, bind-now, RELRO, format checks), so that a
# build by hand is hardened the way the package is. The build type keeps choosing optimisation
# and debug information. Nothing is added when the flags come from outside (CXXFLAGS or LDFLAGS in
# the environment on the first configure, as in the Debian build, or -DCMAKE_CXX_FLAGS=...).
option(USE_DPKG_BUILDFLAGS "Release builds take the hardening flags of dpkg-buildflags" ON)

string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(USE_DPKG_BUILDFLAGS AND build_type MATCHES "^(RELEASE|RELWITHDEBINFO|MINSIZEREL)$"
   AND CMAKE_CXX_FLAGS STREQUAL "" AND CMAKE_EXE_LINKER_FLAGS STREQUAL ""
   AND CMAKE_SHARED_LINKER_FLAGS STREQUAL "")
    if(NOT DPKG_BUILDFLAGS)
        message(WARNING "dpkg-buildflags not found: the build is not hardened "
                        "(tools/setup-deps.sh installs dpkg-dev)")
    else()
        set(dpkg_flags "")
        foreach(kind IN ITEMS CPPFLAGS CXXFLAGS LDFLAGS)
            # Run in the source folder: its path is mapped to "." in debug information.
            execute_process(
                COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                        ${DPKG_BUILDFLAGS} --get ${kind}
                WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
            separate_arguments(value UNIX_COMMAND "${value}")
            list(FILTER value EXCLUDE REGEX "^-(g|O.*)$")
            set(dpkg_${kind} ${value})
        endforeach()
        add_compile_options(${dpkg_CPPFLAGS} ${dpkg_CXXFLAGS})
        add_link_options(${dpkg_LDFLAGS})
        list(JOIN dpkg_CPPFLAGS " " shown_cpp)
        list(JOIN dpkg_CXXFLAGS " " shown_cxx)
        list(JOIN dpkg_LDFLAGS " " shown_ld)
        message(STATUS "Hardening flags from dpkg-buildflags: ${shown_cpp} ${shown_cxx}; "
                       "linking: ${shown_ld}")
    endif()
endif()
