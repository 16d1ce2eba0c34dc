// Load on the state document: the real server on 127.0.0.1 (a one-shot
// controller over a fresh data directory holding the shipped signatures),
// C clients on keep-alive connections requesting GET /api/state as fast as
// they can for S seconds. Prints requests per second, the 50th/99th
// percentile and maximum latency, and the number of failed requests.
// Usage: api_state_bench [clients] [seconds]  (default 2 clients, 5 s)
#include <httplib.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "api/api_server.h"
#include "core/protection_controller.h"
#include "platform/random.h"

int main(int argc, char** argv) {
  const int clients = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2;
  const int seconds = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, 60) : 5;
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("kav-bench-" + random_hex(6));
  std::filesystem::create_directories(dir);
  setenv("AV_DATA_DIR", dir.c_str(), 1);

  {
    ProtectionController controller;
    controller.start(/*is_service=*/false, /*one_shot=*/true);
    std::atomic<bool> quit{false};
    ApiServer server(controller, quit);
    if (!server.start("127.0.0.1")) {
      std::fprintf(stderr, "could not bind the server\n");
      return 1;
    }
    const httplib::Headers headers = {{"X-AV-Token", server.token()}};
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
    std::atomic<long> errors{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
      threads.emplace_back([&, c] {
        httplib::Client client("127.0.0.1", server.port());
        client.set_keep_alive(true);
        client.set_tcp_nodelay(true);
        auto& mine = latencies[static_cast<std::size_t>(c)];
        while (std::chrono::steady_clock::now() < deadline) {
          const auto t0 = std::chrono::steady_clock::now();
          const auto res = client.Get("/api/state", headers);
          const auto t1 = std::chrono::steady_clock::now();
          if (!res || res->status != 200 || res->body.size() < 100) {
            ++errors;
            continue;
          }
          mine.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        }
      });
    }
    for (auto& t : threads) t.join();
    server.stop();
    controller.stop();

    std::vector<double> all;
    for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    const auto pct = [&](double p) {
      return all.empty() ? 0.0 : all[std::min(all.size() - 1, static_cast<std::size_t>(p * static_cast<double>(all.size())))];
    };
    std::printf("GET /api/state, %d client(s), %d s: %zu requests, %.0f req/s, p50 %.3f ms, p99 %.3f ms, max %.3f ms, %ld errors\n",
                clients, seconds, all.size(), static_cast<double>(all.size()) / seconds, pct(0.50), pct(0.99),
                all.empty() ? 0.0 : all.back(), errors.load());
  }
  std::filesystem::remove_all(dir);
  return 0;
}
