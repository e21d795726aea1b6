#pragma once
// Keeps the connection pool for clients that make progress: a deadline for every request head, a
// minimum rate for request bodies and answers, connections whose client closed or reset freed at
// once, a cap per network (an IPv6 client's /64), a share of the pool for uploads, and room for a
// newcomer when the pool is full. The HTTP library owns the sockets; one thread watches them.
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace vantrel::site {

// An address as text ("203.0.113.7", "2001:db8::1"); empty for anything but IPv4 and IPv6.
std::string AddressText(const sockaddr* address);

// What per-address limits count: an IPv4 address as it is, an IPv6 address by its /64 (one host
// owns a whole /64), written "2001:db8:1:2::/64"; an IPv4-mapped IPv6 address as the IPv4 one.
// Anything that is not an address comes back unchanged.
std::string AddressGroup(std::string_view address);

struct MinRate {
  uint32_t bytes_per_second = 1024;
  uint32_t window_seconds = 20;
  uint32_t grace_seconds = 10;
};

// The bytes one body or answer has moved, sampled about once a second. Too slow: past the grace,
// fewer bytes than the rate asks over the last window (over all of it while younger than that).
class TransferRate {
 public:
  void Start(int64_t now_ms, uint64_t bytes);
  void Sample(int64_t now_ms, uint64_t bytes);
  bool TooSlow(int64_t now_ms, uint64_t bytes, const MinRate& rate) const;
  // Below the rate over the last half second or so: when the pool is full, it gives way to a
  // newcomer without waiting for the grace (a reader that has stopped taking shows it at once).
  bool BelowLately(int64_t now_ms, uint64_t bytes, const MinRate& rate) const;

 private:
  static constexpr int kSlots = 64;  // a window of up to 60 s at one sample a second
  static constexpr int kRecent = 4;  // the latest samples however close together
  int64_t recent_ms_[kRecent] = {};
  uint64_t recent_bytes_[kRecent] = {};
  int recent_count_ = 0;
  int64_t start_ms_ = 0;
  uint64_t start_bytes_ = 0;
  int64_t at_ms_[kSlots] = {};
  uint64_t bytes_[kSlots] = {};
  int count_ = 0;  // samples taken, the latest at (count_ - 1) % kSlots
};

struct WatchLimits {
  unsigned max_connections = 512;
  unsigned per_address = 32;
  unsigned uploads = 64;
  unsigned head_deadline_ms = 10000;
  MinRate min_rate;
  bool tls = false;  // a 408 can only be written straight to a plain socket
};

// The library's own connection limit: above the cap by an eighth (16 at least), room for the
// newcomers that take the places of connections still closing.
unsigned HardCap(unsigned max_connections);

// Where one connection's current request stands. Changed by the connection's own event loop,
// except kCut, which the watch sets when a body comes in too slowly.
enum class Phase : int { kHead, kBody, kAnswer, kCut };

class ConnectionWatch {
 public:
  struct Watched;

  explicit ConnectionWatch(WatchLimits limits) : limits_(limits) {}
  ~ConnectionWatch() { Stop(); }
  ConnectionWatch(const ConnectionWatch&) = delete;
  ConnectionWatch& operator=(const ConnectionWatch&) = delete;

  void Start(int listen_fd);
  void Stop();
  // Shuts down every watched socket, so a stopping server isn't held by its clients.
  void ShutAll();

  // The accept policy: false past the cap of the client's network.
  bool Admit(const sockaddr* address);
  // From the library's start and close notifications, on the thread that accepted.
  Watched* Started(int fd);
  void Closed(Watched* watched);

  // By the connection's event loop.
  static void HeadArrived(Watched* watched, bool body_follows);
  // False once the watch has cut the body: the connection must close without an answer.
  static bool BodyContinues(Watched* watched);
  static bool BodyEnded(Watched* watched);
  void RequestEnded(Watched* watched);
  // Counts the request as one of the uploads; false when their share is taken.
  bool TakeUploadSlot(Watched* watched);

 private:
  void Run();
  void Check(Watched* watched, int64_t now, short revents);
  void Replace(size_t count);
  bool MakeRoom();
  void Shut(Watched* watched);
  // Shuts a connection for misbehaving (stalled, or replaced) and remembers its network.
  void LetGo(Watched* watched, int64_t now);

  const WatchLimits limits_;
  int listen_fd_ = -1;
  std::mutex mutex_;  // the set, the counts per network; held while the watch touches a socket
  std::unordered_set<Watched*> watched_;
  std::unordered_map<std::string, unsigned> per_group_;
  std::unordered_map<std::string, int64_t> let_go_;  // network -> when one of its was let go
  std::atomic<unsigned> uploads_{0};
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vantrel::site
