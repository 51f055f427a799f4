velmora_test(HttpUtilTest SOURCES HttpUtilTest.cpp LIBS velmora_core velmora_log)
# The link is the test double of FakeZel.cpp.
velmora_test(HttpRequestTest SOURCES HttpRequestTest.cpp FakeZel.cpp LIBS velmora_core velmora_log)
velmora_test(HttpSessionTest SOURCES HttpSessionTest.cpp LIBS velmora_core velmora_log)
velmora_test(HttpProgramTest SOURCES HttpProgramTest.cpp SERIAL)
add_dependencies(HttpProgramTest VelmoraServer)
