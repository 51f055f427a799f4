# Start-manager registration: the configuration-file editor, and -e/-d end to end.
set(_xml_libs velmora_core velmora_log)
if(TARGET OvZelDll)
  list(APPEND _xml_libs OvZelDll)
endif()
velmora_test(XmlHandlerTest SOURCES XmlHandlerTest.cpp LIBS ${_xml_libs} TIMEOUT 120)

# The installed program against zel-router's registry: needs the router, the link stand-in and
# the registry reads.
if(TARGET zel-router AND TARGET OvZelDll AND EXISTS ${CMAKE_SOURCE_DIR}/src/ZelCommunicationReg.cpp)
  velmora_test(XmlHandlerProgramTest SOURCES XmlHandlerProgramTest.cpp TIMEOUT 180)
  target_compile_definitions(XmlHandlerProgramTest PRIVATE VELMORA_CMAKE="${CMAKE_COMMAND}")
  add_dependencies(XmlHandlerProgramTest VelmoraServer zel-router OvZelDll)
  foreach(t OvSystem)
    if(TARGET ${t})
      add_dependencies(XmlHandlerProgramTest ${t})
    endif()
  endforeach()
endif()
