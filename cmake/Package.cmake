# Debian packages with CPack (scripts/package builds them):
#
#   parcelwing         the console program alone, for servers and cron: no Qt
#   parcelwing-window  the window module and what a desktop needs of it
#
# Library dependencies come from dpkg-shlibdeps; the rest is written here:
# the window needs the console program of the same version (it is the program
# that loads the module), and both need the system's trust store for TLS.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME parcelwing)
set(CPACK_PACKAGE_VENDOR "Parcelwing developers")
set(CPACK_PACKAGE_CONTACT "Parcelwing developers <parcelwing@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# Binaries go in without their debugging sections.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL console window)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${PW_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Control files readable by all and written by root only, as dpkg expects.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME parcelwing)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_DEPENDS "ca-certificates")
# Attachment types come from the shared MIME database; without it they go as
# application/octet-stream.
set(CPACK_DEBIAN_CONSOLE_PACKAGE_RECOMMENDS "shared-mime-info")
set(CPACK_COMPONENT_CONSOLE_DESCRIPTION
"send files by e-mail from scripts and cron
Parcelwing sends files as MIME attachments through an SMTP server, which it
speaks itself (STARTTLS or TLS on connect, with the usual logins), cutting
the list of files into messages of a set number of files.
.
This package holds the program for scripts, servers and cron jobs; it needs
no display and no Qt. Install parcelwing-window for its window.")

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME parcelwing-window)
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "parcelwing (= ${PW_DEB_VERSION}), ca-certificates")
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION mail)
set(CPACK_COMPONENT_WINDOW_DESCRIPTION
"send files by e-mail: the window
Parcelwing sends files as MIME attachments through an SMTP server, which it
speaks itself, cutting the list of files into messages of a set number of
files.
.
This package holds the Qt window that parcelwing shows when a display is
there, its desktop entry and icons, its language files, and an entry to send
files by e-mail with Parcelwing from the context menus of Dolphin and Nemo.")

include(CPack)
