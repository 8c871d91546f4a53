// --congestion: an algorithm the kernel offers is set on every connection; one it does not offer stops the
// server at start, with the reason.
#include <gtest/gtest.h>

#include <string>

#include "server.h"
#include "test_client.h"

namespace {

ServerConfig loopback_with(const std::string &algorithm) {
  ServerConfig config;
  config.bind = "127.0.0.1";
  config.port = 0;
  config.quiet = true;
  config.congestion = algorithm;
  return config;
}

TEST(ServerCongestion, AnAvailableAlgorithmServesAndAMissingOneStopsTheStart) {
  // reno is built into every Linux kernel, so it is always available.
  std::string error;
  Server *server = server_start(loopback_with("reno"), &error);
  ASSERT_NE(server, nullptr) << error;
  EXPECT_TRUE(ping("127.0.0.1", server_port(server)));
  server_stop(server);

  for (const std::string algorithm : {"no-such-algorithm", "reno-but-longer-than-the-kernel-takes"}) {
    SCOPED_TRACE(algorithm);
    std::string why;
    EXPECT_EQ(server_start(loopback_with(algorithm), &why), nullptr);
    EXPECT_EQ(why.rfind("congestion control '" + algorithm + "' is not available: ", 0), 0u) << why;
  }
}

}  // namespace
