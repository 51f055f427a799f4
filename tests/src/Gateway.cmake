velmora_test(GatewayTest SOURCES GatewayTest.cpp FakeZel.cpp LIBS velmora_core velmora_log SERIAL)
velmora_test(GatewayEndToEndTest SOURCES GatewayEndToEndTest.cpp SERIAL)
target_include_directories(GatewayEndToEndTest PRIVATE ${CMAKE_SOURCE_DIR}/tests/tools/zel-router)
add_dependencies(GatewayEndToEndTest VelmoraServer zel-router)
