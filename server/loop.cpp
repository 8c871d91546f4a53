// kestrum-server's admission loop: one thread owns the listener and every connection until its command
// is in. It accepts until the queue is empty, reads the command byte, answers a ping itself and hands a
// download or upload to a stream thread. A waiting connection costs a small record and no thread and no
// wake-up of its own; the loop wakes for traffic, and at least once a slice to notice deadlines and a stop.
//
// Fairness: the pending connections are bounded per source address and in total. A newcomer is never
// refused: when its source already holds its share, the source's oldest pending connection makes way;
// when every place is taken, the oldest pending connection of the source holding the most makes way, and
// among sources holding the most, the one whose oldest connection is oldest. A host that holds thousands
// of silent connections therefore only ever pushes out its own, and when thousands of sources hold one
// each, the one pushed out is the connection that has waited longest, never the newcomer.
#include <algorithm>
#include <list>
#include <set>
#include <unordered_map>
#include <utility>

#include "server_internal.h"
#include "server_platform.h"
#include "wire.h"

namespace {

// Connections taken off the listener per readiness event before the loop looks at its other sockets; the
// listener is still readable afterwards if more are queued, so the next wait returns at once.
constexpr int kAcceptBatch = 1024;
// Reads that throw away what a client goes on sending after its ping was answered, per event.
constexpr int kSinkReadsPerEvent = 16;
// How long accepting pauses when no descriptor is to be had and nobody pending can make way.
constexpr int kOutOfFilesPauseMs = 50;
constexpr uint64_t kListenerTag = 0;
// Connections ended for their time limit per turn of the loop (see expire).
constexpr int kExpireBatch = 256;

struct Source;

struct Pending {
  uint64_t id = 0;
  sock_t sock = KS_INVALID_SOCKET;
  Source *source = nullptr;
  ServerClock::time_point deadline;
  unsigned char buf[kPingProbeSize] = {};
  int have = 0;
  bool answered = false;  // a ping answered: waiting for the client's close
  bool watched = false;   // registered with the poller
  std::list<Pending *>::iterator in_source;
};

struct Source {
  SourceKey key;
  std::list<Pending *> fifo;  // its pending connections, oldest first
};

// How a pending connection leaves the loop.
enum class Leave { close, reset, hand_off };

class Admission {
 public:
  Admission(Server &srv, Poller *poller) : srv_(srv), poller_(poller) {}

  void run() {
    bool listening = poller_add(poller_, srv_.listener, kListenerTag);
    ServerClock::time_point paused_until{};
    PollEvent events[256];
    while (!srv_.stopping.load(std::memory_order_relaxed)) {
      streams_reap(srv_);
      auto now = ServerClock::now();
      if (!listening && now >= paused_until) listening = poller_add(poller_, srv_.listener, kListenerTag);
      const int n = poller_wait(poller_, events, 256, wait_ms(now));
      now = ServerClock::now();
      for (int i = 0; i < n; ++i) {
        if (events[i].tag == kListenerTag) {
          if (!accept_all(now)) {
            // Out of descriptors with nobody to make way: the listener would stay readable and the
            // loop spin, so it stops watching it for a moment.
            poller_remove(poller_, srv_.listener);
            listening = false;
            paused_until = now + std::chrono::milliseconds(kOutOfFilesPauseMs);
          }
          continue;
        }
        // An event for a connection that an earlier event of the same batch removed finds nothing.
        const auto it = by_id_.find(events[i].tag);
        if (it != by_id_.end()) on_readable(it->second, events[i].hangup);
      }
      expire(ServerClock::now());
    }
    if (listening) poller_remove(poller_, srv_.listener);
    while (!order_.empty()) leave(order_.begin(), Leave::reset);
  }

 private:
  using Iter = std::list<Pending>::iterator;

  int wait_ms(ServerClock::time_point now) const {
    int ms = kSliceMs;
    if (!order_.empty()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(order_.front().deadline - now).count() + 1;
      ms = static_cast<int>(std::max<long long>(0, std::min<long long>(ms, left)));
    }
    return ms;
  }

  // Accepts until the queue is empty (or a batch is done); false when out of descriptors and no pending
  // connection could make way.
  bool accept_all(ServerClock::time_point now) {
    for (int i = 0; i < kAcceptBatch; ++i) {
      sockaddr_storage addr{};
      socklen_t len = 0;
      const sock_t s = sock_accept_nonblocking(srv_.listener, &addr, &len);
      if (s == KS_INVALID_SOCKET) {
        const int err = sock_error();
        if (err_is_retryable(err)) return true;
        if (err_is_out_of_files(err)) {
          if (order_.empty()) return false;
          evict_from(largest());  // a descriptor for the newcomer still waiting in the queue
          continue;
        }
        continue;  // a connection that went away before we took it
      }
      srv_.connections++;
      admit(s, source_key(reinterpret_cast<const sockaddr *>(&addr), srv_.config.ipv6_prefix), now);
    }
    return true;
  }

  void admit(sock_t s, const SourceKey &key, ServerClock::time_point now) {
    auto found = sources_.find(key);
    if (found != sources_.end() &&
        found->second.fifo.size() >= static_cast<size_t>(srv_.config.max_pending_per_source)) {
      evict_from(&found->second);
    } else if (order_.size() >= static_cast<size_t>(srv_.config.max_pending)) {
      evict_from(largest());
    }
    found = sources_.find(key);
    if (found == sources_.end()) {
      found = sources_.emplace(key, Source{}).first;
      found->second.key = key;
    }
    Source *src = &found->second;

    order_.emplace_back();
    const Iter it = std::prev(order_.end());
    Pending &p = *it;
    p.id = next_id_++;
    p.sock = s;
    p.source = src;
    p.deadline = now + std::chrono::milliseconds(srv_.config.command_timeout_ms);
    resize(src, [&] { p.in_source = src->fifo.insert(src->fifo.end(), &p); });
    by_id_[p.id] = it;
    srv_.pending++;
    // A client usually sends its command with, or right after, its handshake: it is often here already,
    // and reading it now saves a round through the poller. Only a connection still waiting afterwards is
    // registered, so a ping is answered without the registration in its way and a stream is handed on
    // without ever being registered.
    if (!on_readable(it, false)) return;
    if (!poller_add(poller_, s, p.id)) {
      leave(it, Leave::reset);
      return;
    }
    p.watched = true;
  }

  // Reads what the connection has sent, and acts on a complete command; true while it stays pending.
  // hangup: the poller saw the client's close or reset.
  bool on_readable(Iter it, bool hangup) {
    Pending &p = *it;
    if (p.answered && hangup) {
      leave(it, Leave::close);  // the client has its answer and has closed: nothing is left to read
      return false;
    }
    for (int round = 0; round < kSinkReadsPerEvent; ++round) {
      if (p.answered) {
        // Anything more a client sends after its answer is not part of the protocol and is read away;
        // waiting for its close leaves the TIME_WAIT state with the client instead of piling it up here.
        const int n = sock_recv_discard(p.sock, sink_, sizeof sink_);
        if (n > 0) continue;
        if (n < 0 && err_is_retryable(sock_error())) return true;
        leave(it, Leave::close);
        return false;
      }
      const int n = sock_recv(p.sock, p.buf + p.have, kPingProbeSize - p.have);
      if (n < 0 && err_is_retryable(sock_error())) return true;
      if (n <= 0) {
        srv_.dropped++;  // closed or reset before its command was complete
        leave(it, n == 0 ? Leave::close : Leave::reset);
        return false;
      }
      p.have += n;
      switch (static_cast<char>(p.buf[0])) {
        case kCmdPing:
          if (p.have < kPingProbeSize) continue;
          if (sock_send(p.sock, p.buf + 1, kPingReplySize) != kPingReplySize) {
            leave(it, Leave::reset);
            return false;
          }
          srv_.pings++;
          p.answered = true;
          // The client's close comes a round trip later at the earliest; asking for it now would only
          // be told to wait.
          return true;
        case kCmdDownload:
        case kCmdUpload:
          hand_off(it);
          return false;
        default:
          srv_.dropped++;
          srv_.unknown_command++;
          leave(it, Leave::close);
          return false;
      }
    }
    return true;
  }

  void hand_off(Iter it) {
    const sock_t s = it->sock;
    const char command = static_cast<char>(it->buf[0]);
    // Upload bytes that came with the command byte are payload and count; a download has none.
    const uint64_t early = command == kCmdUpload ? static_cast<uint64_t>(it->have - 1) : 0;
    const SourceKey key = it->source->key;
    std::string peer;
    if (srv_.config.stats) {
      sockaddr_storage ss{};
      socklen_t len = sizeof ss;
      peer = getpeername(s, reinterpret_cast<sockaddr *>(&ss), &len) == 0
                 ? address_text(reinterpret_cast<const sockaddr *>(&ss), len)
                 : "?";
    }
    leave(it, Leave::hand_off);
    stream_start(srv_, s, key, peer, command, early);
    // Only now, so that the connection counts as pending or as a stream at every moment: whoever waits
    // for the server to have no connection left cannot catch it in between.
    srv_.pending--;
  }

  // Ends connections whose time is up; the oldest come first, as they all have the same limit. A few
  // hundred at a time: thousands opened together also expire together, and closing them all in one go
  // left the listener's queue unread long enough to overflow with their owners' new connections, so that
  // a good client's connect waited for a retransmitted SYN. The wait that follows is then zero.
  void expire(ServerClock::time_point now) {
    for (int n = 0; n < kExpireBatch && !order_.empty() && order_.front().deadline <= now; ++n) {
      if (!order_.front().answered) {
        srv_.dropped++;
        srv_.timed_out++;
      }
      leave(order_.begin(), Leave::close);
    }
  }

  Source *largest() const { return by_size_.empty() ? nullptr : by_size_.rbegin()->src; }

  // The oldest pending connection of src makes way for a newcomer, with a reset: no TIME_WAIT is kept
  // for a connection pushed out by a flood.
  void evict_from(Source *src) {
    if (src == nullptr || src->fifo.empty()) return;
    srv_.evicted++;
    leave(by_id_.at(src->fifo.front()->id), Leave::reset);
  }

  // Changes a source's pending connections around change(), keeping the largest-first index in step: its
  // key holds the count and the id of the oldest, both of which a change may move.
  template <class Change>
  void resize(Source *src, Change change) {
    if (!src->fifo.empty()) by_size_.erase(size_key(src));
    change();
    if (!src->fifo.empty()) by_size_.insert(size_key(src));
  }

  // Sources ordered by pending count, and at equal counts by age, oldest last: the last is the one to
  // make way.
  struct SizeKey {
    size_t size;
    uint64_t oldest;  // id of its oldest pending connection; ids grow with arrival
    Source *src;
    bool operator<(const SizeKey &o) const { return size != o.size ? size < o.size : oldest > o.oldest; }
  };
  static SizeKey size_key(Source *src) { return {src->fifo.size(), src->fifo.front()->id, src}; }

  void leave(Iter it, Leave how) {
    Pending &p = *it;
    if (how == Leave::hand_off) {
      if (p.watched) poller_remove(poller_, p.sock);
    } else {
      if (p.watched) poller_forget(poller_, p.sock);
      if (how == Leave::reset) sock_set_hard_close(p.sock);
      sock_close(p.sock);
    }
    Source *src = p.source;
    resize(src, [&] { src->fifo.erase(p.in_source); });
    if (src->fifo.empty()) {
      const SourceKey key = src->key;  // not the node's own copy, which the erase destroys
      sources_.erase(key);
    }
    by_id_.erase(p.id);
    order_.erase(it);
    if (how != Leave::hand_off) srv_.pending--;
  }

  Server &srv_;
  Poller *poller_;
  std::list<Pending> order_;  // arrival order, which is also deadline order
  std::unordered_map<uint64_t, Iter> by_id_;
  std::unordered_map<SourceKey, Source> sources_;
  std::set<SizeKey> by_size_;  // sources by pending count, then age
  uint64_t next_id_ = 1;
  unsigned char sink_[16 * 1024];  // where bytes read away go where the platform cannot discard them
};

}  // namespace

void admission_loop(Server *srv, Poller *poller) { Admission(*srv, poller).run(); }
