velmora_test(GatewayTest SOURCES GatewayTest.cpp FakeZel.cpp LIBS velmora_core velmora_log SERIAL)
velmora_test(GatewayEndToEndTest SOURCES GatewayEndToEndTest.cpp SERIAL)
add_dependencies(GatewayEndToEndTest VelmoraServer zel-router)
