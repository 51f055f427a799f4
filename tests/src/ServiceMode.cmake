# Service mode's loop against a scripted queue: this test provides CreateOvSystemObject and a
# recording WriteOutput itself, so it links neither OvSystem nor velmora_log.
set(service_mode_libs velmora_core)
if(TARGET OvZelDll)
  list(APPEND service_mode_libs OvZelDll)
endif()
velmora_test(ServiceModeTest SOURCES ServiceModeTest.cpp LIBS ${service_mode_libs} SERIAL TIMEOUT 120)
