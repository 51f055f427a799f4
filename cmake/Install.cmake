# cmake --install BUILD --prefix DIR puts the program where the start manager runs it:
# DIR/Components/Plc/VelmoraService/VelmoraService (component "program").
# The controller brings its own platform libraries, so our stand-ins go beside the program only
# when asked for: --component standins, or -DVELMORA_INSTALL_STANDINS=ON for every install.
option(VELMORA_INSTALL_STANDINS "Install the stand-in platform libraries beside the program" OFF)

set(VELMORA_PROGRAM_DIR Components/Plc/VelmoraService)

# Installed as a target, so that its run path becomes $ORIGIN; then given the service's name.
install(TARGETS VelmoraServer RUNTIME DESTINATION ${VELMORA_PROGRAM_DIR} COMPONENT program)
install(CODE "
  set(_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VELMORA_PROGRAM_DIR}\")
  file(RENAME \"\${_dir}/$<TARGET_FILE_NAME:VelmoraServer>\" \"\${_dir}/VelmoraService\")
  message(STATUS \"Renamed: \${_dir}/VelmoraService\")
" COMPONENT program)

if(VELMORA_INSTALL_STANDINS)
  set(_standins_default "")
else()
  set(_standins_default EXCLUDE_FROM_ALL)
endif()
foreach(t OvZelDll OvSystem)
  if(TARGET ${t})
    install(TARGETS ${t} LIBRARY DESTINATION ${VELMORA_PROGRAM_DIR} COMPONENT standins
            ${_standins_default})
  endif()
endforeach()
