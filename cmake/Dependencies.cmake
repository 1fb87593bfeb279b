find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc icu-i18n)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0 gio-2.0)
pkg_check_modules(PIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
# Read by the cpio and Debian package listings; tar edits copy entries through it.
pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
# The UnRAR library (Debian non-free libunrar-dev); its header lies in an "unrar" folder.
find_library(UNRAR_LIBRARY unrar REQUIRED)
find_path(UNRAR_INCLUDE_DIR unrar/dll.hpp REQUIRED)

if(TESSARO_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
