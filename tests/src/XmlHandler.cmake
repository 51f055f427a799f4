# Start-manager registration: the configuration-file editor, and -e/-d end to end.
velmora_test(XmlHandlerTest SOURCES XmlHandlerTest.cpp LIBS velmora_core velmora_log TIMEOUT 120)

# The installed program against zel-router's registry.
velmora_test(XmlHandlerProgramTest SOURCES XmlHandlerProgramTest.cpp TIMEOUT 180)
target_compile_definitions(XmlHandlerProgramTest PRIVATE VELMORA_CMAKE="${CMAKE_COMMAND}")
add_dependencies(XmlHandlerProgramTest VelmoraServer zel-router OvZelDll OvSystem)
