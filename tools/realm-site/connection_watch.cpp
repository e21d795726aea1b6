#include "realm-site/connection_watch.h"

#include <arpa/inet.h>
#include <linux/tcp.h>  // glibc's tcp_info lacks the byte counters
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace vantrel::site {

std::string AddressGroup(std::string_view address) {
  const std::string text(address);
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return text;
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) != 1) return text;
  char shown[INET6_ADDRSTRLEN] = "";
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    inet_ntop(AF_INET, &v6.s6_addr[12], shown, sizeof shown);
    return shown;
  }
  std::memset(&v6.s6_addr[8], 0, 8);
  inet_ntop(AF_INET6, &v6, shown, sizeof shown);
  return std::string(shown) + "/64";
}

std::string AddressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address != nullptr && address->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  } else if (address != nullptr && address->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
  }
  return text;
}

void TransferRate::Start(int64_t now_ms, uint64_t bytes) {
  start_ms_ = now_ms;
  start_bytes_ = bytes;
  count_ = 0;
  recent_count_ = 0;
  Sample(now_ms, bytes);
}

void TransferRate::Sample(int64_t now_ms, uint64_t bytes) {
  recent_ms_[recent_count_ % kRecent] = now_ms;
  recent_bytes_[recent_count_ % kRecent] = bytes;
  ++recent_count_;
  if (count_ > 0 && now_ms - at_ms_[(count_ - 1) % kSlots] < 1000) return;
  at_ms_[count_ % kSlots] = now_ms;
  bytes_[count_ % kSlots] = bytes;
  ++count_;
}

bool TransferRate::TooSlow(int64_t now_ms, uint64_t bytes, const MinRate& rate) const {
  if (now_ms - start_ms_ < static_cast<int64_t>(rate.grace_seconds) * 1000) return false;
  // The latest sample at or before the window's start; the start itself while younger.
  const int64_t window_start = now_ms - static_cast<int64_t>(rate.window_seconds) * 1000;
  int64_t base_ms = start_ms_;
  uint64_t base_bytes = start_bytes_;
  for (int i = count_ - 1; i >= 0 && i >= count_ - kSlots; --i) {
    if (at_ms_[i % kSlots] <= window_start) {
      base_ms = at_ms_[i % kSlots];
      base_bytes = bytes_[i % kSlots];
      break;
    }
  }
  return (bytes - base_bytes) * 1000 < static_cast<uint64_t>(rate.bytes_per_second) * (now_ms - base_ms);
}

bool TransferRate::BelowLately(int64_t now_ms, uint64_t bytes, const MinRate& rate) const {
  for (int i = recent_count_ - 1; i >= 0 && i >= recent_count_ - kRecent; --i) {
    const int64_t span = now_ms - recent_ms_[i % kRecent];
    if (span >= 500) {
      return (bytes - recent_bytes_[i % kRecent]) * 1000 < static_cast<uint64_t>(rate.bytes_per_second) * span;
    }
  }
  return false;
}

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What the kernel counts for a socket; zeroes when it can't say.
tcp_info TcpInfo(int fd) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) std::memset(&info, 0, sizeof info);
  return info;
}

// A network admitted by the accept policy on this thread whose connection hasn't started yet.
// The library calls the policy and then the start notification on the same thread; a start that
// never comes (the library ran out of memory in between) is noticed at the next admission.
thread_local std::string admitted_group;

// How long a network whose connection was let go can't take another's place in a full pool.
constexpr int64_t kPenaltyMs = 10000;

}  // namespace

struct ConnectionWatch::Watched {
  int fd = -1;
  std::string group;
  int64_t accepted_ms = 0;
  std::atomic<Phase> phase{Phase::kHead};
  std::atomic<int64_t> phase_since_ms{0};
  std::atomic<uint32_t> serial{0};  // moves on at every phase change
  bool holds_upload = false;        // the event loop's
  // The watch's own.
  uint32_t seen_serial = UINT32_MAX;
  TransferRate window;
  bool slow = false;
  int hangup_ticks = 0;
  bool doomed = false;
  bool told_408 = false;
};

namespace {

void Enter(ConnectionWatch::Watched* watched, Phase phase) {
  watched->phase_since_ms = NowMs();
  watched->phase = phase;
  ++watched->serial;
}

}  // namespace

void ConnectionWatch::Start(int listen_fd) {
  listen_fd_ = listen_fd;
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
}

void ConnectionWatch::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(wake_mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void ConnectionWatch::ShutAll() {
  std::lock_guard<std::mutex> guard(mutex_);
  for (Watched* watched : watched_) Shut(watched);
}

bool ConnectionWatch::Admit(const sockaddr* address) {
  const std::string group = AddressGroup(AddressText(address));
  std::lock_guard<std::mutex> guard(mutex_);
  if (!admitted_group.empty()) {
    if (--per_group_[admitted_group] == 0) per_group_.erase(admitted_group);
    admitted_group.clear();
  }
  unsigned& count = per_group_[group];
  if (count >= limits_.per_address) return false;
  size_t live = 0;
  for (Watched* watched : watched_) live += !watched->doomed;
  if (live >= limits_.max_connections) {
    // Full. A network whose connection was just let go for stalling doesn't take another's
    // place: refused at once, it can't keep the pool churning (each turn costs the library a
    // pool mapped and unmapped) while honest newcomers queue behind it.
    const auto penalty = let_go_.find(group);
    if (penalty != let_go_.end() && NowMs() - penalty->second < kPenaltyMs) {
      if (count == 0) per_group_.erase(group);
      return false;
    }
    // Otherwise the newcomer takes a place at once rather than wait behind others in the queue.
    Replace(1);
  }
  ++count;
  admitted_group = group;
  return true;
}

ConnectionWatch::Watched* ConnectionWatch::Started(int fd) {
  auto* watched = new Watched;
  watched->fd = fd;
  watched->group = std::move(admitted_group);
  admitted_group.clear();
  watched->accepted_ms = NowMs();
  watched->phase_since_ms = watched->accepted_ms;
  std::lock_guard<std::mutex> guard(mutex_);
  watched_.insert(watched);
  return watched;
}

void ConnectionWatch::Closed(Watched* watched) {
  // Runs before the library closes the socket, under the lock the watch holds while it uses
  // sockets: a descriptor it touches can't have been closed and reused meanwhile.
  std::lock_guard<std::mutex> guard(mutex_);
  watched_.erase(watched);
  if (!watched->group.empty() && --per_group_[watched->group] == 0) per_group_.erase(watched->group);
  if (watched->holds_upload) --uploads_;
  delete watched;
}

void ConnectionWatch::HeadArrived(Watched* watched, bool body_follows) {
  Enter(watched, body_follows ? Phase::kBody : Phase::kAnswer);
}

bool ConnectionWatch::BodyContinues(Watched* watched) { return watched->phase != Phase::kCut; }

bool ConnectionWatch::BodyEnded(Watched* watched) {
  Phase expected = Phase::kBody;
  if (watched->phase.compare_exchange_strong(expected, Phase::kAnswer)) {
    Enter(watched, Phase::kAnswer);
    return true;
  }
  return expected != Phase::kCut;
}

void ConnectionWatch::RequestEnded(Watched* watched) {
  if (watched->holds_upload) {
    watched->holds_upload = false;
    --uploads_;
  }
  if (watched->phase != Phase::kCut) Enter(watched, Phase::kHead);
}

bool ConnectionWatch::TakeUploadSlot(Watched* watched) {
  if (uploads_.fetch_add(1) >= limits_.uploads) {
    --uploads_;
    return false;
  }
  watched->holds_upload = true;
  return true;
}

void ConnectionWatch::Shut(Watched* watched) {
  if (watched->doomed) return;
  watched->doomed = true;
  // A reset on close: what the client hasn't taken is dropped at once instead of lingering in
  // the kernel. Once a 408 went out, it is left to be delivered.
  if (!watched->told_408) {
    const linger reset{1, 0};
    setsockopt(watched->fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }
  // Never close here: the event loop owns the descriptor, sees both directions shut and closes it.
  shutdown(watched->fd, SHUT_RDWR);
}

void ConnectionWatch::LetGo(Watched* watched, int64_t now) {
  Shut(watched);
  // Bounded: past the entries a few seconds of a large flood leave, start afresh.
  if (let_go_.size() >= 65536) let_go_.clear();
  if (!watched->group.empty()) let_go_[watched->group] = now;
}

void ConnectionWatch::Check(Watched* watched, int64_t now, short revents) {
  const Phase phase = watched->phase;
  const uint32_t serial = watched->serial;
  const bool body = phase == Phase::kBody;
  const bool answer = phase == Phase::kAnswer;
  uint64_t bytes = 0;
  if (body || answer) {
    const tcp_info info = TcpInfo(watched->fd);
    // What the client sent, or what it acknowledged: bytes that only sit in our send buffer
    // (sendfile fills it at once) were not taken.
    bytes = body ? info.tcpi_bytes_received : info.tcpi_bytes_acked;
  }
  if (serial != watched->seen_serial) {
    watched->seen_serial = serial;
    watched->window.Start(now, bytes);
    watched->hangup_ticks = 0;
  }
  // A reset, or both directions closed: nothing more can come or go.
  if (revents & (POLLERR | POLLHUP)) return Shut(watched);
  // The client closed its side. Waiting for a head or a body, nothing more will come; it must
  // hold for two rounds, since a request that arrived just before is still being read.
  if ((revents & POLLRDHUP) && (phase == Phase::kHead || body)) {
    if (++watched->hangup_ticks >= 2) return Shut(watched);
  } else {
    watched->hangup_ticks = 0;
  }
  watched->slow = false;
  if (phase == Phase::kHead) {
    if (now - watched->phase_since_ms > static_cast<int64_t>(limits_.head_deadline_ms)) LetGo(watched, now);
  } else if (phase == Phase::kCut) {
    LetGo(watched, now);  // a round after the 408, so it has gone out ahead of the close
  } else {
    watched->window.Sample(now, bytes);
    watched->slow = watched->window.BelowLately(now, bytes, limits_.min_rate);
    if (!watched->window.TooSlow(now, bytes, limits_.min_rate)) return;
    Phase expected = Phase::kBody;
    if (body && !limits_.tls && watched->phase.compare_exchange_strong(expected, Phase::kCut)) {
      // The event loop writes nothing while a body comes in, and never again once it sees kCut.
      const std::string cut =
          "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Type: text/plain; "
          "charset=utf-8\r\nX-Content-Type-Options: nosniff\r\nContent-Length: 0\r\n\r\n";
      send(watched->fd, cut.data(), cut.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      shutdown(watched->fd, SHUT_WR);
      watched->told_408 = true;
      return;
    }
    LetGo(watched, now);
  }
}

unsigned HardCap(unsigned max_connections) { return max_connections + std::max(16u, max_connections / 8); }

void ConnectionWatch::Replace(size_t count) {
  // Oldest first: a newcomer takes the place of whoever has waited longest for its head or
  // moved least, never of a client that is being answered at a fair rate.
  std::vector<Watched*> candidates;
  for (Watched* watched : watched_) {
    if (!watched->doomed && (watched->phase == Phase::kHead || watched->slow)) candidates.push_back(watched);
  }
  const size_t take = std::min(candidates.size(), count);
  std::partial_sort(candidates.begin(), candidates.begin() + static_cast<long>(take), candidates.end(),
                    [](const Watched* a, const Watched* b) { return a->accepted_ms < b->accepted_ms; });
  const int64_t now = NowMs();
  for (size_t i = 0; i < take; ++i) LetGo(candidates[i], now);
}

bool ConnectionWatch::MakeRoom() {
  size_t doomed = 0;
  for (Watched* watched : watched_) doomed += watched->doomed;
  size_t wanted = 0;
  // Over the cap: those admitted without a place to take (none could give way then).
  if (watched_.size() - doomed > limits_.max_connections) wanted = watched_.size() - doomed - limits_.max_connections;
  // At the library's own limit it stops accepting and newcomers wait in the listen queue,
  // whose length the kernel tells for a listening socket.
  if (watched_.size() >= HardCap(limits_.max_connections) && listen_fd_ >= 0) {
    const size_t queued = TcpInfo(listen_fd_).tcpi_unacked;
    if (queued > doomed) wanted += queued - doomed;
  }
  if (wanted > 0) Replace(wanted);
  return wanted > 0;
}

void ConnectionWatch::Run() {
  int64_t last_round = 0;
  std::vector<pollfd> fds;
  std::vector<Watched*> order;
  bool pressed = false;
  while (true) {
    {
      std::unique_lock<std::mutex> wait_lock(wake_mutex_);
      if (stopping_) return;
      wake_.wait_for(wait_lock, std::chrono::milliseconds(pressed ? 10 : 250));
      if (stopping_) return;
    }
    const int64_t now = NowMs();
    std::lock_guard<std::mutex> guard(mutex_);
    if (now - last_round >= 250) {
      last_round = now;
      for (auto at = let_go_.begin(); at != let_go_.end();) {
        at = now - at->second >= kPenaltyMs ? let_go_.erase(at) : std::next(at);
      }
      fds.clear();
      order.clear();
      for (Watched* watched : watched_) {
        if (watched->doomed) continue;
        fds.push_back(pollfd{watched->fd, POLLRDHUP, 0});
        order.push_back(watched);
      }
      poll(fds.data(), fds.size(), 0);
      for (size_t i = 0; i < order.size(); ++i) Check(order[i], now, fds[i].revents);
    }
    // While over the cap, or newcomers queue, look again soon.
    pressed = MakeRoom() || watched_.size() > limits_.max_connections;
  }
}

}  // namespace vantrel::site
