# cmake -DSRC=file -DDST=file -DVERSION=X.Y.Z -DVERSION_TUPLE="(X, Y, Z)" -P stamp_version.cmake
# Copies one file of the add-on into the package with the build's version written in: the
# manifest's `version = "..."` line and bl_info's `"version": (...)`; other text is copied as is.
file(READ ${SRC} text)
string(REGEX REPLACE "(^|\n)version = \"[^\"]*\"" "\\1version = \"${VERSION}\"" text "${text}")
string(REGEX REPLACE "\"version\": \\([0-9, ]*\\)" "\"version\": ${VERSION_TUPLE}" text "${text}")
file(WRITE ${DST}.part "${text}")
file(RENAME ${DST}.part ${DST})
