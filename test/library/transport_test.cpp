// The network kit: the clock, the connection walk and its results, the stop flag in every wait, teardown,
// and the ping exchange with its two times.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_server.h"
#include "platform.h"
#include "transport.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr int kLimitMs = 3000;

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Keeps the socket layer started for a test's sockets (Windows needs it; elsewhere it does nothing).
class Kit : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(net_startup(), 0); }
  void TearDown() override { net_shutdown(); }
};

// Raises the flag after ms on a thread of its own.
class RaiseLater {
 public:
  RaiseLater(StopFlag *flag, int ms)
      : thread_([flag, ms] {
          std::this_thread::sleep_for(milliseconds(ms));
          flag->store(true);
        }) {}
  ~RaiseLater() { thread_.join(); }

 private:
  std::thread thread_;
};

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

TEST_F(Kit, ConnectedSocketIsBlockingAndTunedForTheTests) {
  FakeServer server(fake::normal());
  sock_t s = KS_INVALID_SOCKET;
  ASSERT_EQ(connect_timeout("127.0.0.1", server.port(), kLimitMs, nullptr, &s), ConnectResult::ok);
  ASSERT_NE(s, KS_INVALID_SOCKET);
  int nodelay = 0;
  socklen_t len = sizeof nodelay;
  getsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char *>(&nodelay), &len);
  EXPECT_NE(nodelay, 0);
  // Blocking again: a receive with a time limit waits for it instead of failing at once.
  sock_set_recv_timeout(s, 100);
  char c;
  const auto t0 = Clock::now();
  EXPECT_LT(sock_recv(s, &c, 1), 0);
  EXPECT_GE(ms_since(t0), 80.0);
  close_fd(s, CloseHow::orderly);
}

TEST_F(Kit, RefusedPortFailsAtOnce) {
  const int port = unused_port();
  sock_t s = KS_INVALID_SOCKET;
  const auto t0 = Clock::now();
  EXPECT_EQ(connect_timeout("127.0.0.1", port, kLimitMs, nullptr, &s), ConnectResult::refused);
  EXPECT_LT(ms_since(t0), 2500.0);
  EXPECT_EQ(s, KS_INVALID_SOCKET);
}

TEST_F(Kit, SilentAddressTimesOutAfterItsLimit) {
  UnansweredPort silent;
  ASSERT_TRUE(silent.ok());
  sock_t s = KS_INVALID_SOCKET;
  const auto t0 = Clock::now();
  EXPECT_EQ(connect_timeout("127.0.0.1", silent.port(), kLimitMs, nullptr, &s), ConnectResult::timed_out);
  EXPECT_GE(ms_since(t0), 2900.0);
  EXPECT_LT(ms_since(t0), 6000.0);
  EXPECT_EQ(s, KS_INVALID_SOCKET);
}

TEST_F(Kit, UnresolvableServiceOrHostIsAResolutionFailure) {
  const struct {
    const char *host;
    int port;
  } cases[] = {{"127.0.0.1", -1}, {"localhost", -80},   {"no host here", 80},
               {"127.0.0.1", 0},  {"127.0.0.1", 65536}, {"127.0.0.1", 65536 + 80}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.host).substr(0, 20) + ":" + std::to_string(c.port));
    sock_t s = KS_INVALID_SOCKET;
    EXPECT_EQ(connect_timeout(c.host, c.port, kLimitMs, nullptr, &s), ConnectResult::resolution_failed);
  }
}

TEST_F(Kit, StopEndsAConnectionWaitWithinAFewMilliseconds) {
  UnansweredPort silent;
  ASSERT_TRUE(silent.ok());
  for (bool by_host : {true, false}) {
    SCOPED_TRACE(by_host ? "by host" : "by address");
    StopFlag stop{false};
    sock_t s = KS_INVALID_SOCKET;
    ConnectResult r;
    const auto t0 = Clock::now();
    {
      RaiseLater raise(&stop, 200);
      if (by_host) {
        r = connect_timeout("127.0.0.1", silent.port(), kLimitMs, &stop, &s);
      } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(silent.port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        r = connect_address(reinterpret_cast<sockaddr *>(&a), sizeof a, nullptr, 0, kLimitMs, &stop, &s);
      }
    }
    EXPECT_EQ(r, ConnectResult::cancelled);
    EXPECT_EQ(s, KS_INVALID_SOCKET);
    EXPECT_LT(ms_since(t0), 1000.0);  // 200 ms, then a few; the limit would have been 3 s
  }
}

TEST_F(Kit, ConnectionFromAChosenSourceAddress) {
  int port = 0;
  const sock_t listener = listen_loopback("127.0.0.1", 4, &port);
  ASSERT_NE(listener, KS_INVALID_SOCKET);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7f000002);  // 127.0.0.2
  sock_t s = KS_INVALID_SOCKET;
  ASSERT_EQ(connect_address(reinterpret_cast<sockaddr *>(&to), sizeof to, reinterpret_cast<sockaddr *>(&from),
                            sizeof from, kLimitMs, nullptr, &s),
            ConnectResult::ok);
  const sock_t accepted = accept(listener, nullptr, nullptr);
  ASSERT_NE(accepted, KS_INVALID_SOCKET);
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  getpeername(accepted, reinterpret_cast<sockaddr *>(&peer), &len);
  EXPECT_EQ(ntohl(peer.sin_addr.s_addr), 0x7f000002u);
  close_fd(s, CloseHow::orderly);
  sock_close(accepted);
  sock_close(listener);
}

#if !defined(_WIN32)
TEST_F(Kit, ConnectWorksForDescriptorsAboveTheSelectLimit) {
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
  for (int attempt = 0; attempt < 3; ++attempt) {
    sock_t s = KS_INVALID_SOCKET;
    ASSERT_EQ(connect_timeout("127.0.0.1", server.port(), kLimitMs, nullptr, &s), ConnectResult::ok);
    EXPECT_GE(s, FD_SETSIZE);
    close_fd(s, CloseHow::orderly);
  }
  sock_t s = KS_INVALID_SOCKET;
  EXPECT_EQ(connect_timeout("127.0.0.1", unused_port(), kLimitMs, nullptr, &s), ConnectResult::refused);
  PingPeer peer;
  peer.host = "127.0.0.1";
  peer.port = server.port();
  EXPECT_EQ(ping_sample(peer, {kLimitMs, 2000}, nullptr).result, PingResult::ok);  // the reply wait too
  for (int fd : fillers) close(fd);
}
#endif

// Sends until the socket layer holds a backlog the server has not read yet, then closes as told.
void fill_then_close(int port, CloseHow how) {
  sock_t s = KS_INVALID_SOCKET;
  ASSERT_EQ(connect_timeout("127.0.0.1", port, kLimitMs, nullptr, &s), ConnectResult::ok);
  sock_set_send_timeout(s, 20);
  const std::string block(65536, 'x');
  sock_send(s, "U", 1);
  for (int i = 0; i < 200; ++i) {
    if (sock_send(s, block.data(), static_cast<int>(block.size())) <= 0) break;
  }
  close_fd(s, how);
}

TEST_F(Kit, OrderlyCloseDeliversWhatIsQueuedHardCloseResets) {
  // The server reads nothing until the client has closed, so unsent data is still queued at the close: an
  // orderly close delivers it all and then the end of the stream; a hard close resets instead. (A fixed
  // pause instead of the signal let a client descheduled past it find its queue already drained.)
  std::atomic<bool> client_closed{false};
  FakeServer server([&client_closed](FakeConn &c) {
    c.read(1);
    for (int i = 0; i < 500 && !client_closed.load(); ++i) c.sleep(10);
    c.drain(5000);
  });
  const struct {
    CloseHow how;
    int resets_after;
  } cases[] = {{CloseHow::orderly, 0}, {CloseHow::hard, 1}};
  for (const auto &c : cases) {
    client_closed.store(false);
    fill_then_close(server.port(), c.how);
    client_closed.store(true);
    server.wait_idle();
    EXPECT_EQ(server.resets_seen(), c.resets_after);
  }
}

// --- the ping exchange -------------------------------------------------------------------------------------

PingPeer by_host(int port) {
  PingPeer p;
  p.host = "127.0.0.1";
  p.port = port;
  return p;
}

TEST_F(Kit, PingGivesTheConnectionAndTheReplyTimeApart) {
  // Connection 0 is answered at once, connection 1 after 200 ms: only the reply time grows.
  FakeServer server(fake::ping_delays({0, 200}));
  const PingSample quick = ping_sample(by_host(server.port()), {kLimitMs, 2000}, nullptr);
  const PingSample slow = ping_sample(by_host(server.port()), {kLimitMs, 2000}, nullptr);
  ASSERT_EQ(quick.result, PingResult::ok);
  ASSERT_EQ(slow.result, PingResult::ok);
  EXPECT_TRUE(quick.echoed);
  EXPECT_TRUE(slow.echoed);
  EXPECT_GT(quick.connect_us, 0.0);
  EXPECT_GT(quick.reply_us, 0.0);
  EXPECT_GE(slow.reply_us, 190000.0);
  EXPECT_LT(slow.connect_us, 150000.0);
  server.wait_idle();
  for (const std::string &probe : server.received()) EXPECT_EQ(probe.size(), 9u);
}

TEST_F(Kit, PingByAddressFromASourceAndItsEchoCheck) {
  FakeServer echo(fake::normal());
  // Answers every probe with the same 8 bytes, which are not the probe's.
  FakeServer other([](FakeConn &c) {
    c.read(9);
    c.write("abcdefgh");
    c.hold(3000);
  });
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7f000002);
  for (FakeServer *server : {&echo, &other}) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(server->port()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    PingPeer peer;
    peer.addr = reinterpret_cast<sockaddr *>(&to);
    peer.addr_len = sizeof to;
    peer.from = reinterpret_cast<sockaddr *>(&from);
    peer.from_len = sizeof from;
    const PingSample sample = ping_sample(peer, {kLimitMs, 2000, 2000}, nullptr);
    EXPECT_EQ(sample.result, PingResult::ok);
    EXPECT_EQ(sample.echoed, server == &echo);
  }
}

TEST_F(Kit, PingFailuresByKind) {
  UnansweredPort silent_port;
  ASSERT_TRUE(silent_port.ok());
  FakeServer closing(fake::close_at_once());
  FakeServer silent(fake::silent());
  FakeServer dripping(fake::throttled_reply(300));  // the whole reply would take 2.4 s
  const struct {
    const char *what;
    PingPeer peer;
    PingLimits limits;
    PingResult result;
    ConnectResult connect;
    double at_least_ms, below_ms;
  } cases[] = {
      {"refused",
       by_host(unused_port()),
       {kLimitMs, 2000},
       PingResult::not_connected,
       ConnectResult::refused,
       0,
       2500},
      {"unresolvable port",
       by_host(70000),
       {kLimitMs, 2000},
       PingResult::not_connected,
       ConnectResult::resolution_failed,
       0,
       2500},
      {"no answer to the connection, sample limit",
       by_host(silent_port.port()),
       {kLimitMs, 2000, 400},
       PingResult::not_connected,
       ConnectResult::timed_out,
       380,
       2500},
      {"closed without a reply",
       by_host(closing.port()),
       {kLimitMs, 2000},
       PingResult::no_reply,
       ConnectResult::ok,
       0,
       1500},
      {"silent",
       by_host(silent.port()),
       {kLimitMs, 1000},
       PingResult::no_reply,
       ConnectResult::ok,
       950,
       2500},
      {"one deadline for the whole reply",
       by_host(dripping.port()),
       {kLimitMs, 1000},
       PingResult::no_reply,
       ConnectResult::ok,
       950,
       2000},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const auto t0 = Clock::now();
    const PingSample sample = ping_sample(c.peer, c.limits, nullptr);
    const double took = ms_since(t0);
    EXPECT_EQ(sample.result, c.result);
    EXPECT_EQ(sample.connect, c.connect);
    EXPECT_GE(took, c.at_least_ms);
    EXPECT_LT(took, c.below_ms);
  }
}

TEST_F(Kit, StopEndsTheReplyWait) {
  FakeServer silent(fake::silent());
  StopFlag stop{false};
  const auto t0 = Clock::now();
  PingSample sample;
  {
    RaiseLater raise(&stop, 200);
    sample = ping_sample(by_host(silent.port()), {kLimitMs, 2000}, &stop);
  }
  EXPECT_EQ(sample.result, PingResult::cancelled);
  EXPECT_EQ(sample.connect, ConnectResult::ok);
  EXPECT_LT(ms_since(t0), 1000.0);  // 200 ms, then a few; the reply limit would have been 2 s
}

}  // namespace
