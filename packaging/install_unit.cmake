# Runs at install time (from an install(CODE) rule of this folder): copies
# one systemd unit under the prefix, fitted to where this installation put
# things, so that a unit installed under /usr, /usr/local or a test prefix
# starts the programs that sit beside it:
#  - the program of every ExecStart= that runs tervanesvr or tervaneclt is
#    taken from this installation's binary directory, whatever directory
#    the unit in the source tree names;
#  - tervanesvr started without --config is given the machine's
#    configuration file, <sysconfdir>/tervane/Config.cfg (/etc/tervane/ for
#    the /usr prefix), since "beside the executable" would mean /usr/bin.
#
# In: TERVANE_UNIT_SOURCE (the unit in the source tree), TERVANE_UNIT_DIR
# (its directory relative to the prefix), TERVANE_BINDIR (relative to the
# prefix), and CMAKE_INSTALL_PREFIX / DESTDIR as cmake --install sets them.

get_filename_component(_tervane_unit_name "${TERVANE_UNIT_SOURCE}" NAME)
file(READ "${TERVANE_UNIT_SOURCE}" _tervane_unit_text)

if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(_tervane_sysconfdir "/etc")
else()
  set(_tervane_sysconfdir "${CMAKE_INSTALL_PREFIX}/etc")
endif()

string(REGEX REPLACE "(\nExecStart=[-@:+!]*)[^ \n]*/(tervanesvr|tervaneclt)"
       "\\1${CMAKE_INSTALL_PREFIX}/${TERVANE_BINDIR}/\\2"
       _tervane_unit_text "\n${_tervane_unit_text}")
string(SUBSTRING "${_tervane_unit_text}" 1 -1 _tervane_unit_text)
string(REGEX MATCH "ExecStart=[^\n]*/tervanesvr[^\n]*" _tervane_server_line "${_tervane_unit_text}")
if(_tervane_server_line AND NOT _tervane_server_line MATCHES "--config")
  string(REPLACE "${_tervane_server_line}"
         "${_tervane_server_line} --config ${_tervane_sysconfdir}/tervane/Config.cfg"
         _tervane_unit_text "${_tervane_unit_text}")
endif()

set(_tervane_unit_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${TERVANE_UNIT_DIR}")
set(_tervane_unit_path "${_tervane_unit_dir}/${_tervane_unit_name}")
message(STATUS "Installing: ${_tervane_unit_path}")
file(MAKE_DIRECTORY "${_tervane_unit_dir}")
file(WRITE "${_tervane_unit_path}" "${_tervane_unit_text}")
file(CHMOD "${_tervane_unit_path}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_tervane_unit_path}")
