velmora_test(HttpUtilTest SOURCES HttpUtilTest.cpp LIBS velmora_core velmora_log)
# The link is the test double of FakeZel.cpp.
velmora_test(HttpRequestTest SOURCES HttpRequestTest.cpp FakeZel.cpp LIBS velmora_core velmora_log)
velmora_test(HttpSessionTest SOURCES HttpSessionTest.cpp LIBS velmora_core velmora_log)
velmora_test(HttpMemoryTest SOURCES HttpMemoryTest.cpp LIBS velmora_core velmora_log)
velmora_test(HttpProgramTest SOURCES HttpProgramTest.cpp SERIAL)
add_dependencies(HttpProgramTest VelmoraServer)

# The system calls outside POSIX: the build's own implementation, and the portable fallback
# (SysIo.cpp compiled again with VELMORA_PORTABLE_IO).
velmora_test(SysIoTest SOURCES SysIoTest.cpp LIBS velmora_core velmora_log)
velmora_test(SysIoPortableTest SOURCES SysIoTest.cpp ${CMAKE_SOURCE_DIR}/src/SysIo.cpp)
target_include_directories(SysIoPortableTest PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(SysIoPortableTest PRIVATE VELMORA_PORTABLE_IO)
