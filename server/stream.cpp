// kestrum-server's stream worker: one thread per download or upload, over a blocking socket whose calls
// each wait at most one slice, so a stop, a reclaim, the stream limit or a window's end is seen within a
// slice whatever the client does. Downloads and uploads run the same loop; only the call that moves the
// bytes, and what counts as moved, differ. Admission to a slot, and reclaiming one for a newcomer, is
// decided here too, under the server's lock.
#include <cstdio>
#include <memory>
#include <system_error>
#include <vector>

#include "bulk.h"
#include "figures.h"
#include "pseudo_random.h"
#include "server_internal.h"
#include "server_platform.h"
#include "wire.h"

namespace {

// The sizes of the stream's calls are in bulk.h, beside the library's.
constexpr int kBlockBytes = kServerSendBytes;
constexpr int kUploadChunkBytes = kServerReceiveBytes;
constexpr int kUploadBatchBytes = kServerBatchBytes;
// How often a fast download reads what its client has taken (three system calls); a slow one, whose send
// waits out its slice, reads it after every send.
constexpr int64_t kTakenReadUs = 1000;

// A peer that moves no data, or a stop, ends with a reset: the kernel then drops what is still queued
// for it at once instead of keeping it for a client that may never read.
// A reclaimed stream as well: a download's client must read its end as a failure, and an orderly close
// would read as the end of a short but good measurement.
bool ends_hard(End end) {
  return end == End::too_slow || end == End::stopped || end == End::reset || end == End::reclaimed;
}

int64_t ms_since(ServerClock::time_point start, ServerClock::time_point now) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
}

// What a download's client has taken so far (see taken_since_first_look): from its acknowledgements and
// window where the platform tells them, else what the socket accepted.
uint64_t download_taken(sock_t s, uint64_t accepted, TakenCount &count) {
  uint64_t acked = 0;
  if (!sock_acked(s, accepted, &acked)) return accepted;
  uint64_t window = 0;
  const bool have_window = sock_peer_window(s, &window);
  return taken_since_first_look(count, acked, have_window, window);
}

struct Moved {
  uint64_t bytes = 0;
  ServerClock::time_point first, last;  // of the bytes moved, for the upload's rate
  End end = End::client_closed;
};

// The stream loop. Each window of rate_window_ms is judged on what the client moved in it (RateJudge);
// the first window starts with the stream.
Moved run_stream(Server &srv, Stream &st) {
  const bool download = st.command == kCmdDownload;
  const unsigned char *block = download ? download_block() : nullptr;
  std::unique_ptr<unsigned char[]> scratch(download ? nullptr : new unsigned char[kUploadChunkBytes]);
  std::atomic<uint64_t> &total = download ? srv.bytes_sent : srv.bytes_received;

  const auto start = ServerClock::now();
  const auto deadline = start + std::chrono::seconds(srv.config.max_stream_seconds);
  const int64_t window_ms = srv.config.rate_window_ms;
  const uint64_t min_rate = static_cast<uint64_t>(srv.config.min_rate_bytes);
  RateJudge judge = rate_judge_start(0, window_ms);
  TakenCount taken;
  auto next_taken_read = start;
  bool batching = false;
  Moved m;
  m.first = m.last = start;
  m.bytes = st.early;
  rate_judge_sample(judge, 0, st.early);
  for (;;) {
    if (srv.stopping.load(std::memory_order_relaxed)) {
      m.end = End::stopped;
      break;
    }
    if (st.reclaimed.load(std::memory_order_relaxed)) {
      m.end = End::reclaimed;
      break;
    }
    // A send that times out within its slice may still have queued part of the block, and says so.
    const int n = download ? sock_send(st.sock, block, kBlockBytes)
                           : sock_recv_discard(st.sock, scratch.get(), kUploadChunkBytes);
    const auto now = ServerClock::now();
    if (n > 0) {
      if (!download && !batching) {
        sock_set_recv_batch(st.sock, kUploadBatchBytes);
        batching = true;
      }
      if (m.bytes == 0) m.first = now;
      m.bytes += static_cast<uint64_t>(n);
      m.last = now;
      total.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    } else if (n == 0 && !download) {
      m.end = End::client_closed;
      break;
    } else if (n < 0 && err_is_retryable(sock_error())) {
      // a slice without progress: the window decides below
    } else {
      // The client closing mid-download is how a download normally ends: its unread data turns the close
      // into a reset, and our next send fails.
      m.end = download ? End::client_closed : End::reset;
      break;
    }
    const int64_t at_ms = ms_since(start, now);
    if (!download) {
      rate_judge_sample(judge, at_ms, m.bytes);
    } else if (n < kBlockBytes || now >= next_taken_read) {
      // The first look comes after the first send, which has filled whatever the client takes unread.
      rate_judge_sample(judge, at_ms, download_taken(st.sock, m.bytes, taken));
      judge.allowance = taken.buffer();
      next_taken_read = now + std::chrono::microseconds(kTakenReadUs);
    }
    if (!rate_judge_window(judge, at_ms, window_ms, min_rate)) {
      m.end = End::too_slow;
      break;
    }
    if (now >= deadline) {
      m.end = End::max_stream;
      break;
    }
  }
  if (download) m.last = ServerClock::now();
  if (download) m.first = start;
  return m;
}

// Refused with a reset: no TIME_WAIT is left behind for each connection of a flood, and the client reads
// a failed transfer. (An orderly close would not do: a download that ends in one with no data reads as a
// finished measurement of 0 Mbit/s.)
void refuse(std::atomic<uint64_t> &reason, sock_t s) {
  reason++;
  sock_set_hard_close(s);
  sock_close(s);
}

// Under srv.mu: the stream no longer counts against its source or the total.
void release_slot(Server &srv, Stream &st) {
  st.holds_slot = false;
  auto it = srv.streams_of.find(st.source);
  if (it != srv.streams_of.end() && --it->second <= 0) srv.streams_of.erase(it);
  srv.stream_count--;
}

// Under srv.mu: whether source is within its penalty for a stream dropped too slow. Entries past their
// time go when next asked about, and all at once when there are many (a source is one map entry at most).
bool barred(Server &srv, const SourceKey &source) {
  const auto now = ServerClock::now();
  constexpr size_t kSweepAbove = 4096;
  if (srv.barred_until.size() > kSweepAbove) {
    for (auto it = srv.barred_until.begin(); it != srv.barred_until.end();) {
      it = it->second <= now ? srv.barred_until.erase(it) : std::next(it);
    }
  }
  const auto it = srv.barred_until.find(source);
  if (it == srv.barred_until.end()) return false;
  if (now < it->second) return true;
  srv.barred_until.erase(it);
  return false;
}

// Under srv.mu, every slot taken: the stream that makes way for a newcomer from source (see
// reclaim_choice), or null.
Stream *reclaimable(Server &srv, const SourceKey &source) {
  std::vector<SourceKey> holders;
  std::vector<Stream *> by_index;
  for (Stream &st : srv.streams) {
    if (!st.holds_slot) continue;
    holders.push_back(st.source);
    by_index.push_back(&st);
  }
  const int at = reclaim_choice(holders, source);
  return at < 0 ? nullptr : by_index[static_cast<size_t>(at)];
}

void stream_main(Server *srv, Stream *st) {
  const bool download = st->command == kCmdDownload;
  Moved m;
  m.end = End::reset;
  try {
    m = run_stream(*srv, *st);
  } catch (...) {
    // Only an upload buffer that cannot be had throws: this stream ends, the server goes on.
  }
  if (srv->config.stats) {
    const double secs = std::chrono::duration<double>(m.last - m.first).count();
    char line[320];
    if (download) {
      std::snprintf(line, sizeof line, "download to %s: %llu bytes sent in %.3f s, %.1f Mbit/s (%s)",
                    st->peer.c_str(), static_cast<unsigned long long>(m.bytes), secs,
                    rate_mbps(m.bytes, secs), end_text(m.end));
    } else {
      // The upload's rate runs from the first to the last payload byte, the span the client can time.
      std::snprintf(line, sizeof line,
                    "upload from %s: %llu bytes received in %.3f s first to last byte, %.1f Mbit/s (%s)",
                    st->peer.c_str(), static_cast<unsigned long long>(m.bytes), secs,
                    rate_mbps(m.bytes, secs), end_text(m.end));
    }
    emit(*srv, line);
  }
  if (m.end == End::too_slow) srv->too_slow++;
  if (m.end == End::max_stream) srv->max_length++;
  // After the line: whoever sees the count can also find the line.
  (download ? srv->downloads : srv->uploads)++;
  {
    std::lock_guard<std::mutex> lock(srv->mu);
    if (ends_hard(m.end)) sock_set_hard_close(st->sock);
    sock_close(st->sock);
    st->sock = KS_INVALID_SOCKET;
    // A reclaimed stream's slot was handed on when it was reclaimed.
    if (st->holds_slot) release_slot(*srv, *st);
    if (m.end == End::too_slow && srv->config.slow_penalty_ms > 0) {
      srv->barred_until[st->source] =
          ServerClock::now() + std::chrono::milliseconds(srv->config.slow_penalty_ms);
    }
  }
  srv->finished++;
  st->done.store(true);  // the last touch of the record: from here on it may be joined and freed
}

}  // namespace

const unsigned char *download_block() {
  // Pseudo-random, so that nothing on the path can compress it and inflate the figures; shared read-only
  // by every download.
  static const std::vector<unsigned char> block = pseudo_random_bytes(kBlockBytes);
  return block.data();
}

void stream_start(Server &srv, sock_t s, const SourceKey &source, const std::string &peer, char command,
                  uint64_t early) {
  std::lock_guard<std::mutex> lock(srv.mu);
  if (barred(srv, source)) {
    refuse(srv.refused_penalty, s);
    return;
  }
  const auto held = srv.streams_of.find(source);
  if (held != srv.streams_of.end() && held->second >= srv.config.max_streams_per_source) {
    refuse(srv.refused_per_source, s);
    return;
  }
  if (srv.stream_count.load() >= static_cast<uint64_t>(srv.config.max_streams)) {
    Stream *victim = reclaimable(srv, source);
    if (victim == nullptr) {
      refuse(srv.refused_full, s);
      return;
    }
    // The slot changes hands now; the reclaimed stream's thread sees the flag within a slice and resets
    // its connection. Waking it at once would take a shutdown, whose FIN a download's client would read
    // as a good end.
    release_slot(srv, *victim);
    victim->reclaimed.store(true, std::memory_order_relaxed);
    srv.reclaimed++;
  }
  int &mine = srv.streams_of[source];
  // The loop's sockets are non-blocking; a stream blocks for at most a slice per call.
  sock_set_nonblocking(s, false);
  sock_set_int(s, IPPROTO_TCP, TCP_NODELAY, 1);
  sock_set_recv_timeout(s, kSliceMs);
  sock_set_send_timeout(s, kSliceMs);
  // Left alone, Linux sizes both buffers to the path as it goes; a fixed size turns that off.
  if (srv.config.socket_buffer_bytes > 0) {
    sock_set_int(s, SOL_SOCKET, command == kCmdDownload ? SO_SNDBUF : SO_RCVBUF,
                 srv.config.socket_buffer_bytes);
  }
  srv.streams.emplace_back();
  Stream &st = srv.streams.back();
  st.sock = s;
  st.source = source;
  st.peer = peer;
  st.command = command;
  st.early = early;
  ++mine;
  srv.stream_count++;
  try {
    // Counted before the thread starts, so that whoever sees the stream finished sees all its bytes.
    srv.bytes_received.fetch_add(early, std::memory_order_relaxed);
    st.thread = std::thread(stream_main, &srv, &st);
  } catch (const std::system_error &) {
    srv.bytes_received.fetch_sub(early, std::memory_order_relaxed);
    release_slot(srv, st);
    srv.streams.pop_back();
    refuse(srv.refused_no_thread, s);
  }
}

void streams_reap(Server &srv) {
  if (srv.finished.load() == 0) return;
  std::lock_guard<std::mutex> lock(srv.mu);
  for (auto it = srv.streams.begin(); it != srv.streams.end();) {
    if (it->done.load()) {
      it->thread.join();
      it = srv.streams.erase(it);
      srv.finished--;
    } else {
      ++it;
    }
  }
}

void streams_stop(Server &srv) {
  {
    // Wakes threads blocked on their socket at once where the platform allows; elsewhere they notice the
    // stop at the end of their slice.
    std::lock_guard<std::mutex> lock(srv.mu);
    for (Stream &st : srv.streams) {
      if (st.sock != KS_INVALID_SOCKET) sock_shutdown_both(st.sock);
    }
  }
  for (Stream &st : srv.streams) st.thread.join();
  srv.streams.clear();
}
