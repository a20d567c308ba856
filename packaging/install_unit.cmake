# Runs at install time (from an install(CODE) rule of this folder): copies
# one systemd unit under the prefix, fitted to where this installation put
# things, so that a unit installed under /usr, /usr/local or a test prefix
# starts the programs that sit beside it: the program of every ExecStart=
# that runs tervanesvr or tervaneclt is
# taken from this installation's binary directory, whatever directory
# the unit in the source tree names.
#
# In: TERVANE_UNIT_SOURCE (the unit in the source tree), TERVANE_UNIT_DIR
# (its directory relative to the prefix), TERVANE_BINDIR (relative to the
# prefix), and CMAKE_INSTALL_PREFIX / DESTDIR as cmake --install sets them.

get_filename_component(_tervane_unit_name "${TERVANE_UNIT_SOURCE}" NAME)
file(READ "${TERVANE_UNIT_SOURCE}" _tervane_unit_text)

string(REGEX REPLACE "(\nExecStart=[-@:+!]*)[^ \n]*/(tervanesvr|tervaneclt)"
       "\\1${CMAKE_INSTALL_PREFIX}/${TERVANE_BINDIR}/\\2"
       _tervane_unit_text "\n${_tervane_unit_text}")
string(SUBSTRING "${_tervane_unit_text}" 1 -1 _tervane_unit_text)
set(_tervane_unit_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${TERVANE_UNIT_DIR}")
set(_tervane_unit_path "${_tervane_unit_dir}/${_tervane_unit_name}")
message(STATUS "Installing: ${_tervane_unit_path}")
file(MAKE_DIRECTORY "${_tervane_unit_dir}")
file(WRITE "${_tervane_unit_path}" "${_tervane_unit_text}")
file(CHMOD "${_tervane_unit_path}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_tervane_unit_path}")
