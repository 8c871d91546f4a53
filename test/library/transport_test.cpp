// The clock, the connection walk and its messages, socket settings and teardown.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fake_server.h"
#include "kestrum.h"
#include "platform.h"
#include "transport.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

TEST(Clock, CountsMicroseconds) {
  const double a = now_us();
  std::this_thread::sleep_for(milliseconds(50));
  const double b = now_us();
  EXPECT_GE(b - a, 45000.0);
  EXPECT_LT(b - a, 2000000.0);
}

TEST(Protocol, PingProbeIsTheCommandAndALittleEndianStamp) {
  unsigned char probe[kPingProbeSize];
  build_ping_probe(probe, 3315799033608.7);  // 0x030405060708, fraction dropped
  const unsigned char want[] = {'P', 8, 7, 6, 5, 4, 3, 0, 0};
  EXPECT_EQ(std::vector<unsigned char>(probe, probe + 9), std::vector<unsigned char>(want, want + 9));
}

TEST(Connect, ConnectedSocketIsTunedForTheTests) {
  FakeServer server(fake::normal());
  kestrum_init();
  const sock_t s = connect_timeout("127.0.0.1", server.port(), kConnectLimitMs);
  ASSERT_NE(s, KS_INVALID_SOCKET) << kestrum_last_error();
  int nodelay = 0;
  socklen_t len = sizeof nodelay;
  getsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char *>(&nodelay), &len);
  EXPECT_NE(nodelay, 0);
  // Blocking again: a receive with a time limit waits for it instead of failing at once.
  sock_set_recv_timeout(s, 100);
  char c;
  const auto t0 = Clock::now();
  EXPECT_LT(sock_recv(s, &c, 1), 0);
  EXPECT_GE(Clock::now() - t0, milliseconds(80));
  EXPECT_STREQ(kestrum_last_error(), "");  // success writes no message
  close_fd(s);
}

TEST(Connect, RefusedPortFailsAtOnceNamingHostAndPort) {
  const int port = unused_port();
  kestrum_init();
  const auto t0 = Clock::now();
  EXPECT_EQ(connect_timeout("127.0.0.1", port, kConnectLimitMs), KS_INVALID_SOCKET);
  EXPECT_LT(Clock::now() - t0, milliseconds(2500));
  EXPECT_EQ(std::string(kestrum_last_error()), "Connect failed to 127.0.0.1:" + std::to_string(port));
}

TEST(Connect, SilentAddressTimesOutAfterThreeSeconds) {
  UnansweredPort silent;
  ASSERT_TRUE(silent.ok());
  kestrum_init();
  const auto t0 = Clock::now();
  EXPECT_EQ(connect_timeout("127.0.0.1", silent.port(), kConnectLimitMs), KS_INVALID_SOCKET);
  const auto waited = Clock::now() - t0;
  EXPECT_GE(waited, milliseconds(2900));
  EXPECT_LT(waited, milliseconds(6000));
  EXPECT_EQ(std::string(kestrum_last_error()),
            "Connect timeout after 3000 ms to 127.0.0.1:" + std::to_string(silent.port()));
}

TEST(Connect, UnresolvableServiceOrHostIsADnsFailure) {
  kestrum_init();
  const struct {
    const char *host;
    int port;
  } cases[] = {{"127.0.0.1", -1}, {"localhost", -80}, {"no host here", 80}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(connect_timeout(c.host, c.port, kConnectLimitMs), KS_INVALID_SOCKET);
    EXPECT_STREQ(kestrum_last_error(), "DNS resolution failed");
  }
}

TEST(Connect, LongHostIsCutInTheMessage) {
  const std::string host(300, 'h');
  kestrum_init();
  connect_timeout(host.c_str(), -1, kConnectLimitMs);
  EXPECT_STREQ(kestrum_last_error(), "DNS resolution failed");
  const int port = unused_port();
  const std::string literal = "127.0.0.1";
  connect_timeout(literal.c_str(), port, kConnectLimitMs);
  EXPECT_LE(std::string(kestrum_last_error()).size(), 255u);
}

#if !defined(_WIN32)
TEST(Connect, WorksForDescriptorsAboveTheSelectLimit) {
  // A host with many files open hands the library descriptors past FD_SETSIZE; the wait must cope.
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  const rlim_t want = FD_SETSIZE + 200;
  if (lim.rlim_cur < want) {
    lim.rlim_cur = lim.rlim_max < want ? lim.rlim_max : want;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  if (lim.rlim_cur < want) GTEST_SKIP() << "cannot open enough descriptors here";
  std::vector<int> fillers;
  while (fillers.empty() || fillers.back() < FD_SETSIZE + 10) fillers.push_back(dup(0));

  FakeServer server(fake::normal());
  kestrum_init();
  for (int attempt = 0; attempt < 3; ++attempt) {
    const sock_t s = connect_timeout("127.0.0.1", server.port(), kConnectLimitMs);
    ASSERT_NE(s, KS_INVALID_SOCKET) << kestrum_last_error();
    EXPECT_GE(s, FD_SETSIZE);
    close_fd(s);
  }
  const int refused = unused_port();
  EXPECT_EQ(connect_timeout("127.0.0.1", refused, kConnectLimitMs), KS_INVALID_SOCKET);
  EXPECT_EQ(std::string(kestrum_last_error()), "Connect failed to 127.0.0.1:" + std::to_string(refused));
  for (int fd : fillers) close(fd);
}
#endif

// Sends until the socket layer holds a backlog the server has not read yet, then closes with close_fd.
void fill_then_close(int port) {
  const sock_t s = connect_timeout("127.0.0.1", port, kConnectLimitMs);
  ASSERT_NE(s, KS_INVALID_SOCKET);
  sock_set_send_timeout(s, 20);
  const std::string block(65536, 'x');
  sock_send(s, "U", 1);
  for (int i = 0; i < 200; ++i) {
    if (sock_send(s, block.data(), static_cast<int>(block.size())) <= 0) break;
  }
  close_fd(s);
}

TEST(Teardown, OrderlyCloseUnlessCancelledThenReset) {
  // The server reads nothing for a while, so unsent data is still queued when the client closes: an
  // orderly close delivers it all and then the end of the stream; a cancelled close resets instead.
  FakeServer server([](FakeConn &c) {
    c.read(1);
    c.sleep(300);
    c.drain(5000);
  });
  kestrum_init();
  fill_then_close(server.port());
  server.wait_idle();
  EXPECT_EQ(server.resets_seen(), 0);

  kestrum_cancel();
  fill_then_close(server.port());
  server.wait_idle();
  EXPECT_EQ(server.resets_seen(), 1);
}

}  // namespace
