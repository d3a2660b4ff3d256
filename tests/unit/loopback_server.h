// A tiny HTTP server on 127.0.0.1 for tests that need a real socket (transport, metadata stubs).
//
//   LoopbackServer srv;
//   srv.server().Get("/x", [](const httplib::Request&, httplib::Response& res) { res.set_content("hi", "text/plain");
//   }); srv.start();                      // binds a free port, serves from a background thread std::string base =
//   srv.url();     // "http://127.0.0.1:<port>"
//   ...                               // stop() or the destructor ends the thread
//
// For TLS, hand in a server of your own (cpp-httplib built with OpenSSL support):
//   LoopbackServer tls(std::make_unique<httplib::SSLServer>(cert, key), "https");
//
// Register every handler before start(). Handlers run on the server's worker threads, so anything
// they share with the test must be synchronised (std::atomic, a mutex).
#pragma once

#include <httplib.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace quenfold_testlibs::testing {

class LoopbackServer {
 public:
  // Idle keep-alive connections hold stop() until they time out; one second keeps tests quick
  // while clients still reuse connections between close requests.
  LoopbackServer() : LoopbackServer(std::make_unique<httplib::Server>(), "http") {}
  LoopbackServer(std::unique_ptr<httplib::Server> server, std::string scheme)
      : server_(std::move(server)), scheme_(std::move(scheme)) {
    server_->set_keep_alive_timeout(1);
  }
  ~LoopbackServer() { stop(); }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  httplib::Server& server() { return *server_; }

  // Binds to a free port on 127.0.0.1 and serves in a background thread. The socket listens
  // before this returns, so requests made right after are queued, never refused.
  void start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("loopback server: no free port");
    thread_ = std::thread([this] {
      server_->listen_after_bind();
      finished_ = true;
    });
    // stop() only works once the accept loop runs, so wait for it (no timing involved: it is
    // the next thing the new thread does).
    while (!server_->is_running() && !finished_) std::this_thread::yield();
  }

  void stop() {
    if (thread_.joinable()) {
      server_->stop();
      thread_.join();
    }
  }

  int port() const { return port_; }
  std::string url() const { return scheme_ + "://127.0.0.1:" + std::to_string(port_); }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::string scheme_;
  std::thread thread_;
  int port_ = -1;
  std::atomic<bool> finished_{false};
};

}  // namespace quenfold_testlibs::testing
