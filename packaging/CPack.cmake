# The Debian package, made by `cpack -G DEB` in the build folder. Libraries
# the programs link come from dpkg-shlibdeps; what is loaded or run only at
# run time is listed by hand below.
set(CPACK_PACKAGE_NAME tessaline)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tessaline developers <tessaline@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch image resizer (Quorvel Image Resizer)")
set(CPACK_PACKAGE_DESCRIPTION
    "Resizes, rotates, renames and stamps many images at once, from a desktop window\n\
or from the command line (tessaline-batch), keeping photos upright with their\n\
metadata and colour profile. Reads JPEG, PNG, GIF, BMP, TIFF, WebP, HEIC, AVIF,\n\
JPEG 2000, ICO, TGA, PCX and more; writes JPEG, GIF, BMP, PNG, TIFF, PCX, WebP\n\
and AVIF.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# libheif is opened with dlopen on the first HEIF or AVIF file, so no ELF
# file names it: its package is found from the library the build used.
find_library(TESSALINE_HEIF_LIBRARY heif)
pkg_check_modules(TESSALINE_HEIF_PKG QUIET libheif)
set(heif_package libheif1)
if(TESSALINE_HEIF_LIBRARY)
  get_filename_component(heif_real ${TESSALINE_HEIF_LIBRARY} REALPATH)
  string(REGEX REPLACE "^(.*\\.so\\.[0-9]+).*$" "\\1" heif_soname ${heif_real})
  execute_process(COMMAND dpkg-query -S ${heif_soname}
                  OUTPUT_VARIABLE heif_owner ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(heif_owner MATCHES "^([^:,]+)")
    set(heif_package ${CMAKE_MATCH_1})
  endif()
endif()
if(TESSALINE_HEIF_PKG_VERSION)
  set(heif_package "${heif_package} (>= ${TESSALINE_HEIF_PKG_VERSION})")
endif()
# Debian 12's libheif has its codecs built in; later ones load them as
# plugins of their own packages: those present at build time are needed.
foreach(plugin libheif-plugin-libde265 libheif-plugin-dav1d libheif-plugin-aomenc)
  execute_process(COMMAND dpkg-query -W "-f=\${Status}" ${plugin}
                  OUTPUT_VARIABLE plugin_status ERROR_QUIET)
  if(plugin_status MATCHES "install ok installed")
    string(APPEND heif_package ", ${plugin}")
  endif()
endforeach()
# The stamp's faces resolve to Liberation; Open Output Folder and Online Help
# go through xdg-open; Qt draws on Wayland through its plugin (else through
# X); the file-manager actions tell the outcome with notify-send; the
# Nautilus action needs its Python extension host.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${heif_package}, fonts-liberation2")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, fonts-dejavu-core, qt6-wayland, libnotify-bin")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-nautilus")
include(CPack)
