#include "tests.h"

#include <cmath>
#include <cstdint>

#include "kestrum_internal.h"
#include "monitor.h"
#include "platform.h"
#include "transport.h"

namespace {

constexpr int kMaxPingSamples = 1000;
constexpr int kPingReplyLimitMs = 2000;
constexpr int kTransferCallLimitMs = 20;  // bounds every blocking recv/send, and so the cancel latency
constexpr int kChunk = 65536;
constexpr int kFullRunPingSamples = 10;
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

// Reads the 8-byte ping reply; false when the server closed, failed, or said nothing for 2 s.
bool read_ping_reply(sock_t s) {
  unsigned char reply[kPingReplySize];
  int held = 0;
  while (held < kPingReplySize) {
    const int n = sock_recv(s, reply + held, kPingReplySize - held);
    if (n > 0) {
      held += n;
    } else if (n < 0 && err_is_interrupted(sock_error())) {
      continue;
    } else {
      return false;
    }
  }
  return true;
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

}  // namespace

double ping_test(const char *host, int port, int count) {
  if (cancel_requested()) {
    set_last_error(kErrCancelled);
    return -1.0;
  }
  const int samples = count > kMaxPingSamples ? kMaxPingSamples : (count < 1 ? 1 : count);
  state_reset(host, port, 0);
  set_phase(kPhasePing);

  double sum = 0;
  double previous = -1.0;
  double jitter_sum = 0;
  int jitter_count = 0;
  bool cancelled = false;
  for (int k = 1; k <= samples; ++k) {
    if (cancel_requested()) {
      cancelled = true;
      break;
    }
    // The RTT starts before the connection attempt: resolution and handshake are part of it.
    const double t0 = now_us();
    const sock_t s = connect_timeout(host, port, kConnectLimitMs);
    if (s == KS_INVALID_SOCKET) return -1.0;
    sock_set_recv_timeout(s, kPingReplyLimitMs);

    unsigned char probe[kPingProbeSize];
    build_ping_probe(probe, now_us());
    if (sock_send(s, probe, kPingProbeSize) != kPingProbeSize) {
      set_last_error(kErrPingSend);
      close_fd(s);
      return -1.0;
    }
    if (!read_ping_reply(s)) {
      set_last_error(kErrPingTimeout);
      close_fd(s);
      return -1.0;
    }
    const double t1 = now_us();
    close_fd(s);

    const double rtt = (t1 - t0) / 1000;
    sum += rtt;
    if (previous >= 0) {
      jitter_sum += std::fabs(rtt - previous);
      jitter_count += 1;
    }
    report_progress(kPhasePing, 0.0, k * 100 / samples);
    previous = rtt;
  }

  if (cancelled || cancel_requested()) {
    set_last_error(kErrCancelled);
    set_phase(kPhaseError);
    return -1.0;
  }
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
  const sock_t s = connect_timeout(host, port, kConnectLimitMs);
  if (s == KS_INVALID_SOCKET) return -1.0;

  const char command = down ? kCmdDownload : kCmdUpload;
  if (sock_send(s, &command, 1) != 1) {
    set_last_error(kErrSend);
    close_fd(s);
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
  unsigned char area[kChunk];  // download data is only counted (and on Linux never copied here)
  if (cancel_requested()) end = End::cancelled;
  double next_acked_read = start;  // upload: when the acknowledged count is read and published next
  while (end == End::finished) {
    const double now = now_us();
    if ((now - start) / 1000000 * 1000 >= static_cast<double>(duration_ms)) break;
    const int n = down ? sock_recv_discard(s, area, kChunk) : sock_send(s, up_buf, kChunk);
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
    close_fd(s);
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
  close_fd(s);
  monitor_stop();
  const double rate = static_cast<double>(total) * 8 / 1000000 / elapsed_seconds;
  if (down) {
    state_set_download(rate);
  } else {
    state_set_upload(rate);
  }
  set_phase(kPhaseComplete);
  report_progress(label, rate, 100);
  return rate;
}

int full_run(const char *host, int port, int duration_ms) {
  state_reset(host, port, duration_ms);
  set_phase(kPhasePing);
  // Each stage goes through its export, whose entry checks (empty host, cancel flag) are the re-checks
  // a stage needs; each stage's own state_reset finds the same server and keeps the record.
  if (kestrum_ping(host, port, kFullRunPingSamples) < 0 || cancel_requested()) {
    set_phase(kPhaseError);
    return -1;
  }
  set_phase(kPhaseDownload);
  if (kestrum_download(host, port, duration_ms) < 0 || cancel_requested()) {
    set_phase(kPhaseError);
    return -1;
  }
  set_phase(kPhaseUpload);
  if (kestrum_upload(host, port, duration_ms) < 0 || cancel_requested()) {
    set_phase(kPhaseError);
    return -1;
  }
  set_phase(kPhaseComplete);
  report_progress(kPhaseComplete, 0.0, 100);
  return 0;
}
