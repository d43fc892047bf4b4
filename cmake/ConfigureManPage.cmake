# cmake -DSOURCE=PAGE.1.in -DOUTPUT=PAGE.1 -DKEY_LIST=FILE -DPROJECT_VERSION=V
#       -P ConfigureManPage.cmake
# Fills the version and, at @TRESK_KEY_LIST@, the text of KEY_LIST into the
# manual page: run at build time, once the key list has been printed.
file(READ ${KEY_LIST} TRESK_KEY_LIST)
string(STRIP "${TRESK_KEY_LIST}" TRESK_KEY_LIST)
configure_file(${SOURCE} ${OUTPUT} @ONLY)
