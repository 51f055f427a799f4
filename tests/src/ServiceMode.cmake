# Service mode's loop against a scripted queue: this test provides CreateOvSystemObject and a
# recording WriteOutput itself (its definitions take precedence over the libraries').
velmora_test(ServiceModeTest SOURCES ServiceModeTest.cpp LIBS velmora_core SERIAL TIMEOUT 120)

# The program driven by ov-service, its link going to a zel-router.
velmora_test(ServiceModeEndToEndTest SOURCES ServiceModeEndToEndTest.cpp LIBS ovsystem_headers SERIAL
             TIMEOUT 180)
add_dependencies(ServiceModeEndToEndTest VelmoraServer ov-service zel-router)

# Both workers serving eight clients' runtime exchanges and static files at once.
velmora_test(ServiceModeConcurrencyTest SOURCES ServiceModeConcurrencyTest.cpp SERIAL TIMEOUT 300)
add_dependencies(ServiceModeConcurrencyTest VelmoraServer ov-service zel-router)
