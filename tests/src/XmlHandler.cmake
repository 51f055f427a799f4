# Start-manager registration: the configuration-file editor, and -e/-d end to end.
set(_xml_libs velmora_core velmora_log)
if(TARGET OvZelDll)
  list(APPEND _xml_libs OvZelDll)
endif()
velmora_test(XmlHandlerTest SOURCES XmlHandlerTest.cpp LIBS ${_xml_libs} TIMEOUT 120)
