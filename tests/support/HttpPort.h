// The port the program listens on, as the tests reach it.
#pragma once

#include "HttpService.h"

namespace testsupport {

constexpr int kHttpPort = HTTP_PORT;

} // namespace testsupport
