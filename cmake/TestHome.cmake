# A home and XDG folders for each test program, under the build tree, so that a test run leaves
# nothing of ours in the user's own folders (the backups before a monitor download, the station's
# port locks, the settings) and one program's tests never see what another left behind.
# tessel_test_environment(NAME VAR) sets VAR to the list for a test's ENVIRONMENT property.
function(tessel_test_environment name var)
  set(root ${CMAKE_BINARY_DIR}/test-home/${name})
  file(MAKE_DIRECTORY ${root}/home ${root}/runtime)
  # The runtime folder is the user's alone, as a login's is.
  file(CHMOD ${root}/runtime DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  set(${var} HOME=${root}/home XDG_CONFIG_HOME=${root}/config XDG_STATE_HOME=${root}/state
      XDG_CACHE_HOME=${root}/cache XDG_DATA_HOME=${root}/data XDG_RUNTIME_DIR=${root}/runtime PARENT_SCOPE)
endfunction()
