#include "tests.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "bulk.h"
#include "figures.h"
#include "kestrum_internal.h"
#include "monitor.h"
#include "platform.h"
#include "transport.h"

namespace {

constexpr int kMaxPingSamples = 1000;
constexpr int kConnectLimitMs = 3000;     // each address's connection attempt
constexpr int kPingReplyLimitMs = 2000;   // the whole reply, from the probe's send
constexpr int kTransferCallLimitMs = 20;  // bounds every blocking recv/send, and so the cancel latency
constexpr int kChunk = kUploadPayloadBytes;
constexpr double kAckedReadUs = 2000;  // how often an upload reads what has been acknowledged

// The upload payload: generated once per process by a linear congruential generator, so every process
// sends the same 64 KiB (it starts 27 5E FA 95 0E 73 81 85).
unsigned char up_buf[kChunk];
int up_ready;

void make_upload_payload() {
  uint32_t x = 0x12345678u;
  for (int i = 0; i < kChunk; ++i) {
    x = x * 1664525u + 1013904223u;
    up_buf[i] = static_cast<unsigned char>((x >> 8) & 0xFF);
  }
  up_ready = 1;
}

// How much of the upload's payload the server's host has acknowledged, of the `accepted` bytes the socket
// took. The socket holds up to a few MB that have not left this machine, which on a slow uplink is seconds
// of sending: counting what it accepted would read far too high. The command byte went first and is not
// payload. Where the platform cannot tell, the accepted count is all there is.
uint64_t upload_delivered(sock_t s, uint64_t accepted) {
  uint64_t acked = 0;
  if (!sock_acked(s, accepted + 1, &acked)) return accepted;
  return acked > 0 ? acked - 1 : 0;
}

// Every connection of a test ends in order, or with a reset once the user has cancelled.
void close_connection(sock_t s) { close_fd(s, cancel_requested() ? CloseHow::hard : CloseHow::orderly); }

// The catalogue's text for a connection that was not made.
void set_connect_error(ConnectResult result, const char *host, int port) {
  char msg[256];
  switch (result) {
    case ConnectResult::resolution_failed:
      set_last_error(kErrDns);
      return;
    case ConnectResult::timed_out:
      std::snprintf(msg, sizeof msg, "Connect timeout after %d ms to %s:%d", kConnectLimitMs, host, port);
      set_last_error(msg);
      return;
    case ConnectResult::cancelled:
      set_last_error(kErrCancelled);
      return;
    case ConnectResult::refused:
    case ConnectResult::ok:
      break;
  }
  std::snprintf(msg, sizeof msg, "Connect failed to %s:%d", host, port);
  set_last_error(msg);
}

// A test that the user cancelled after it began: the message, the phase "error" and its document.
double cancelled_test() {
  set_last_error(kErrCancelled);
  set_phase(kPhaseError);
  return -1.0;
}

}  // namespace

double ping_test(const char *host, int port, int count) {
  if (cancel_requested()) {
    set_last_error(kErrCancelled);
    return -1.0;
  }
  const int samples = count > kMaxPingSamples ? kMaxPingSamples : (count < 1 ? 1 : count);
  state_reset(host, port, 0);
  set_phase(kPhasePing);

  PingPeer peer;
  peer.host = host;
  peer.port = port;
  const PingLimits limits{kConnectLimitMs, kPingReplyLimitMs};
  double sum = 0;
  double previous = -1.0;
  double jitter_sum = 0;
  int jitter_count = 0;
  for (int k = 1; k <= samples; ++k) {
    if (cancel_requested()) return cancelled_test();
    // The RTT starts before the connection attempt: resolution and handshake are part of it.
    const PingSample sample = ping_sample(peer, limits, cancel_flag());
    switch (sample.result) {
      case PingResult::ok:
        break;
      case PingResult::cancelled:
        return cancelled_test();
      case PingResult::not_connected:
        set_connect_error(sample.connect, host, port);
        return -1.0;
      case PingResult::send_failed:
        set_last_error(kErrPingSend);
        return -1.0;
      case PingResult::no_reply:
        set_last_error(kErrPingTimeout);
        return -1.0;
    }

    const double rtt = (sample.connect_us + sample.reply_us) / 1000;
    sum += rtt;
    if (previous >= 0) {
      jitter_sum += std::fabs(rtt - previous);
      jitter_count += 1;
    }
    report_progress(kPhasePing, 0.0, k * 100 / samples);
    previous = rtt;
  }

  if (cancel_requested()) return cancelled_test();
  const double ping_ms = sum / samples;
  state_set_ping(ping_ms, jitter_count > 0 ? jitter_sum / jitter_count : 0.0);
  set_phase(kPhaseComplete);
  return ping_ms;
}

double transfer_test(const char *host, int port, int duration_ms, Direction direction) {
  const bool down = direction == Direction::download;
  const char *label = down ? kPhaseDownload : kPhaseUpload;

  state_reset(host, port, duration_ms);
  set_phase(label);
  sock_t s = KS_INVALID_SOCKET;
  const ConnectResult connected = connect_timeout(host, port, kConnectLimitMs, cancel_flag(), &s);
  if (connected == ConnectResult::cancelled) return cancelled_test();
  if (connected != ConnectResult::ok) {
    set_connect_error(connected, host, port);
    return -1.0;
  }

  const char command = down ? kCmdDownload : kCmdUpload;
  if (sock_send(s, &command, 1) != 1) {
    set_last_error(kErrSend);
    close_connection(s);
    return -1.0;
  }
  // A short limit on every blocking call keeps the clock and the cancel flag in reach while nothing moves.
  sock_set_recv_timeout(s, kTransferCallLimitMs);
  sock_set_send_timeout(s, kTransferCallLimitMs);
  if (!down && !up_ready) make_upload_payload();  // before the start time, so it never costs the measurement

  const double start = now_us();
  const double planned_seconds = duration_ms / 1000.0;
  monitor_start(label, planned_seconds);

  enum class End { finished, cancelled, failed };
  End end = End::finished;
  uint64_t total = 0;
  unsigned char area[kDownloadReceiveBytes];  // download data is only counted (on Linux never copied here)
  if (cancel_requested()) end = End::cancelled;
  double next_acked_read = start;  // upload: when the acknowledged count is read and published next
  while (end == End::finished) {
    const double now = now_us();
    if ((now - start) / 1000000 * 1000 >= static_cast<double>(duration_ms)) break;
    const int n = down ? sock_recv_discard(s, area, kDownloadReceiveBytes) : sock_send(s, up_buf, kChunk);
    if (n > 0) {
      total += static_cast<uint64_t>(n);
      if (down) monitor_publish_bytes(total);
    } else if (n == 0) {
      if (down) break;  // the server closed its side: a normal end of the stream
      // an upload send of 0 counts nothing and goes on
    } else if (!err_is_retryable(sock_error())) {
      end = End::failed;
      break;
    }
    // The upload's progress is what has arrived, which grows while a send waits on a full buffer too.
    // Reading it costs two system calls, as much as a tenth of a fast loopback send, and the monitor
    // looks only every 100 ms: once per kAckedReadUs is plenty. (A slow link passes here at most every
    // 20 ms, the send time limit, so there every pass reads it.)
    if (!down && now >= next_acked_read) {
      monitor_publish_bytes(upload_delivered(s, total));
      next_acked_read = now + kAckedReadUs;
    }
    if (cancel_requested()) end = End::cancelled;
  }

  if (end != End::finished) {
    set_last_error(end == End::cancelled ? kErrCancelled : (down ? kErrRecv : kErrSend));
    // The monitor goes first, then the socket: with the flag raised the close is a reset.
    monitor_stop();
    close_connection(s);
    set_phase(kPhaseError);
    return -1.0;
  }

  // Success: the end time first, then the socket and the monitor, and only then the results, so the
  // monitor never reports after the record says "complete".
  double elapsed_seconds = (now_us() - start) / 1000000;
  if (elapsed_seconds <= 0) elapsed_seconds = planned_seconds;
  if (!down) {
    // Read at the end time, before the close: bytes still queued then never count.
    total = upload_delivered(s, total);
    monitor_publish_bytes(total);
  }
  close_connection(s);
  monitor_stop();
  const double rate = rate_mbps(total, elapsed_seconds);
  if (down) {
    state_set_download(rate);
  } else {
    state_set_upload(rate);
  }
  set_phase(kPhaseComplete);
  report_progress(label, rate, 100);
  return rate;
}

// One stage of the full run: its phase, the checks its export would make before it (what the run's entry
// checks have not settled already: an empty host, and for a transfer the cancel flag, which the ping test
// looks at itself), the measurement, and the stage test after it. A stage fails when its measurement
// returns below zero or the cancel flag is raised once it has returned; a cancel that came after the
// stage's last look at the flag has left no message, so the run writes it. false ends the run, with the
// phase "error".
namespace {
enum class Stage { ping, download, upload };
bool run_stage(Stage stage, const char *host, int port, int duration_ms) {
  const char *const labels[] = {kPhasePing, kPhaseDownload, kPhaseUpload};
  set_phase(labels[static_cast<int>(stage)]);
  double result = -1.0;
  if (host[0] == '\0') {
    set_last_error(kErrInvalidHost);
  } else if (stage != Stage::ping && cancel_requested()) {
    set_last_error(kErrCancelled);
  } else if (stage == Stage::ping) {
    result = ping_test(host, port, kFullRunPingSamples);
  } else {
    result = transfer_test(host, port, duration_ms,
                           stage == Stage::download ? Direction::download : Direction::upload);
  }
  if (result >= 0 && cancel_requested()) {
    set_last_error(kErrCancelled);
    result = -1.0;
  }
  if (result < 0) set_phase(kPhaseError);
  return result >= 0;
}
}  // namespace

int full_run(const char *host, int port, int duration_ms) {
  state_reset(host, port, duration_ms);
  // Each stage's own state_reset finds the same server and keeps the record, so the results add up.
  for (Stage stage : {Stage::ping, Stage::download, Stage::upload}) {
    if (!run_stage(stage, host, port, duration_ms)) return -1;
  }
  set_phase(kPhaseComplete);
  report_progress(kPhaseComplete, 0.0, 100);
  return 0;
}
