# Finds libsodium and provides the imported target Sodium::Sodium.
#
# On Linux through pkg-config (Debian's libsodium-dev); elsewhere, or where pkg-config does not
# know it, below SODIUM_ROOT (the Windows build from scripts/windows-libsodium) or the usual
# prefixes. A static archive on Windows needs SODIUM_STATIC, without which sodium's headers
# declare every function as imported from its DLL.
include(FindPackageHandleStandardArgs)

if(NOT SODIUM_ROOT AND DEFINED ENV{SODIUM_ROOT})
    set(SODIUM_ROOT $ENV{SODIUM_ROOT})
endif()

if(NOT SODIUM_ROOT AND NOT WIN32)
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
        pkg_check_modules(PC_SODIUM QUIET libsodium)
    endif()
endif()

if(WIN32)
    set(sodium_names libsodium.a sodium)
else()
    set(sodium_names sodium)
endif()
if(SODIUM_ROOT)
    # Named outright: looked for there alone, also when a cross toolchain confines the search to
    # its own roots.
    find_path(SODIUM_INCLUDE_DIR sodium.h PATHS ${SODIUM_ROOT}/include
        NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    find_library(SODIUM_LIBRARY NAMES ${sodium_names} PATHS ${SODIUM_ROOT}/lib
        NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
else()
    find_path(SODIUM_INCLUDE_DIR sodium.h HINTS ${PC_SODIUM_INCLUDEDIR} ${PC_SODIUM_INCLUDE_DIRS})
    find_library(SODIUM_LIBRARY NAMES ${sodium_names}
        HINTS ${PC_SODIUM_LIBDIR} ${PC_SODIUM_LIBRARY_DIRS})
endif()

if(SODIUM_INCLUDE_DIR AND EXISTS "${SODIUM_INCLUDE_DIR}/sodium/version.h")
    file(STRINGS "${SODIUM_INCLUDE_DIR}/sodium/version.h" version_line
        REGEX "^#define SODIUM_VERSION_STRING \"[^\"]+\"")
    string(REGEX REPLACE "^.*\"([^\"]+)\".*$" "\\1" Sodium_VERSION "${version_line}")
endif()

find_package_handle_standard_args(Sodium
    REQUIRED_VARS SODIUM_LIBRARY SODIUM_INCLUDE_DIR
    VERSION_VAR Sodium_VERSION)

if(Sodium_FOUND AND NOT TARGET Sodium::Sodium)
    add_library(Sodium::Sodium UNKNOWN IMPORTED)
    set_target_properties(Sodium::Sodium PROPERTIES
        IMPORTED_LOCATION "${SODIUM_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${SODIUM_INCLUDE_DIR}")
    if(WIN32 AND SODIUM_LIBRARY MATCHES "\\.a$")
        set_property(TARGET Sodium::Sodium APPEND PROPERTY
            INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC)
    endif()
endif()
mark_as_advanced(SODIUM_INCLUDE_DIR SODIUM_LIBRARY)
