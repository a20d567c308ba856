#include "bench/delay_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tervane::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 256 * 1024;
// What one direction may hold before its reader waits for the writer.
constexpr size_t kHeldLimit = 16u << 20;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}

void NoDelay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// One direction: chunks read from `from` leave on `to` once their delay is
// over; the end of `from` becomes a half-close of `to`.
class Direction {
 public:
  Direction(int from, int to, std::chrono::microseconds delay) : from_(from), to_(to), delay_(delay) {}

  void Read() {
    for (;;) {
      std::vector<uint8_t> chunk(kChunk);
      const ssize_t n = recv(from_, chunk.data(), chunk.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      std::unique_lock<std::mutex> lock(mu_);
      if (n <= 0) {
        queue_.push_back({Clock::now() + delay_, {}});  // the end
        ready_.notify_all();
        return;
      }
      chunk.resize(static_cast<size_t>(n));
      room_.wait(lock, [&] { return held_ < kHeldLimit || failed_; });
      if (failed_) return;
      held_ += chunk.size();
      queue_.push_back({Clock::now() + delay_, std::move(chunk)});
      ready_.notify_all();
    }
  }

  void Write() {
    for (;;) {
      Held item;
      {
        std::unique_lock<std::mutex> lock(mu_);
        ready_.wait(lock, [&] { return !queue_.empty(); });
        item = std::move(queue_.front());
        queue_.pop_front();
      }
      std::this_thread::sleep_until(item.due);
      if (item.bytes.empty()) {
        shutdown(to_, SHUT_WR);
        return;
      }
      size_t done = 0;
      while (done < item.bytes.size()) {
        const ssize_t n = send(to_, item.bytes.data() + done, item.bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          // The far side is gone: stop both ends of this direction.
          std::lock_guard<std::mutex> lock(mu_);
          failed_ = true;
          room_.notify_all();
          shutdown(from_, SHUT_RD);
          return;
        }
        done += static_cast<size_t>(n);
      }
      std::lock_guard<std::mutex> lock(mu_);
      held_ -= item.bytes.size();
      room_.notify_all();
    }
  }

 private:
  struct Held {
    Clock::time_point due;
    std::vector<uint8_t> bytes;  // empty: the end of the stream
  };
  const int from_;
  const int to_;
  const std::chrono::microseconds delay_;
  std::mutex mu_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<Held> queue_;  // GUARDED_BY(mu_)
  size_t held_ = 0;         // GUARDED_BY(mu_)
  bool failed_ = false;     // GUARDED_BY(mu_)
};

void Forward(int client, uint16_t target_port, std::chrono::microseconds delay) {
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in addr = Loopback(target_port);
  if (server < 0 || connect(server, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (server >= 0) close(server);
    close(client);
    return;
  }
  NoDelay(client);
  NoDelay(server);
  Direction up(client, server, delay);
  Direction down(server, client, delay);
  std::thread threads[] = {std::thread([&] { up.Read(); }), std::thread([&] { up.Write(); }),
                           std::thread([&] { down.Read(); }), std::thread([&] { down.Write(); })};
  for (std::thread& t : threads) t.join();
  close(server);
  close(client);
}

}  // namespace

int RunDelayProxy(uint16_t listen_port, uint16_t target_port, std::chrono::microseconds delay) {
  // Sleeps end when due, not up to the default 50 us later; threads
  // started from here inherit it.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  const sockaddr_in addr = Loopback(listen_port);
  if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 16) != 0) {
    std::perror("tervane_bench_tool proxy: cannot listen");
    return 1;
  }
  for (;;) {
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::perror("tervane_bench_tool proxy: accept");
      return 1;
    }
    std::thread(Forward, client, target_port, delay).detach();
  }
}

}  // namespace tervane::bench
