# Finds Qwt 6 built for Qt 5, as Debian's libqwt-qt5-dev installs it: headers in
# <prefix>/include/qwt, the library as libqwt-qt5. Debian also ships a pkg-config
# file, but under a name (Qt5Qwt6) that other distributions do not share, so the
# files are looked for directly.
#
# Defines the imported target Qwt::Qwt and the cache variables QWT_INCLUDE_DIR
# and QWT_LIBRARY.
find_path(QWT_INCLUDE_DIR NAMES qwt_plot.h PATH_SUFFIXES qwt qwt-qt5 qwt6)
find_library(QWT_LIBRARY NAMES qwt-qt5 qwt6-qt5 qwt)

if(QWT_INCLUDE_DIR AND EXISTS "${QWT_INCLUDE_DIR}/qwt_global.h")
    file(STRINGS "${QWT_INCLUDE_DIR}/qwt_global.h" _qwt_version_line REGEX "define[ \t]+QWT_VERSION_STR")
    string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" Qwt_VERSION "${_qwt_version_line}")
    unset(_qwt_version_line)
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Qwt REQUIRED_VARS QWT_LIBRARY QWT_INCLUDE_DIR VERSION_VAR Qwt_VERSION)

if(Qwt_FOUND AND NOT TARGET Qwt::Qwt)
    add_library(Qwt::Qwt UNKNOWN IMPORTED)
    set_target_properties(Qwt::Qwt PROPERTIES
        IMPORTED_LOCATION "${QWT_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${QWT_INCLUDE_DIR}"
        INTERFACE_LINK_LIBRARIES "Qt5::Widgets")
endif()
mark_as_advanced(QWT_INCLUDE_DIR QWT_LIBRARY)
