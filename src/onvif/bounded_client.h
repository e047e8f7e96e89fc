// cpp-httplib's client with the limits a camera's answer needs that the
// library lacks: its timeouts hold only between two reads, so a device that
// trickles a byte a second would hold a call for as long as it liked, and it
// grows a header line without bound before it checks its length. Here the
// whole exchange ends at one deadline, and the answer's head (status line and
// header lines) ends at kAnswerHeadMost bytes. bounded_client.cpp.
#pragma once
#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

constexpr size_t kAnswerHeadMost = 64 * 1024;

class BoundedClient : public httplib::ClientImpl {
 public:
  BoundedClient(const std::string& host, int port, std::chrono::steady_clock::time_point deadline);

  // After a failed send: why the answer was cut off, if it was.
  bool timed_out() const { return timed_out_; }
  bool head_too_large() const { return head_too_large_; }

 protected:
  bool process_socket(const Socket& socket, std::function<bool(httplib::Stream&)> callback) override;

 private:
  std::chrono::steady_clock::time_point deadline_;
  bool timed_out_ = false;
  bool head_too_large_ = false;
};
