#include "bounded_client.h"

#include <algorithm>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// Seconds and microseconds until deadline, for the library's waits; false
// when it has passed.
bool time_left(Clock::time_point deadline, time_t* sec, time_t* usec) {
  auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  if (left <= 0) return false;
  *sec = static_cast<time_t>(left / 1000000);
  *usec = static_cast<time_t>(left % 1000000);
  return true;
}

// The socket as the library reads an answer through it: buffered (its line
// reader asks for one byte at a time), every wait ending at the deadline, and
// no more than kAnswerHeadMost bytes before the blank line that ends the head.
class BoundedStream : public httplib::Stream {
 public:
  BoundedStream(socket_t sock, Clock::time_point deadline, bool* timed_out, bool* head_too_large)
      : sock_(sock), deadline_(deadline), timed_out_(timed_out), head_too_large_(head_too_large) {}

  bool is_readable() const override { return off_ < len_ || wait(true); }
  bool is_writable() const override { return wait(false); }

  ssize_t read(char* ptr, size_t size) override {
    if (off_ == len_) {
      if (!wait(true)) return -1;
      ssize_t n = httplib::detail::read_socket(sock_, buf_, sizeof buf_, 0);
      if (n <= 0) return n;
      off_ = 0;
      len_ = static_cast<size_t>(n);
    }
    size_t n = std::min(size, len_ - off_);
    if (!in_body_) {
      // Up to the end of the head at most, so that its bytes are counted here.
      for (size_t i = 0; i < n; i++) {
        char c = buf_[off_ + i];
        if (status_.size() < 10) status_ += c;
        if (c == '\n') {
          if (line_empty_) {
            // "HTTP/1.1 100 Continue" and its like: another head follows,
            // within the same bound.
            bool informational = status_.size() == 10 && status_[9] == '1';
            status_.clear();
            line_empty_ = false;
            if (informational) continue;
            in_body_ = true;
            n = i + 1;
            break;
          }
          line_empty_ = true;
        } else if (c != '\r') {
          line_empty_ = false;
        }
      }
      head_ += n;
      if (head_ > kAnswerHeadMost) {
        *head_too_large_ = true;
        return -1;
      }
    }
    std::memcpy(ptr, buf_ + off_, n);
    off_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!wait(false)) return -1;
    return httplib::detail::send_socket(sock_, ptr, size, CPPHTTPLIB_SEND_FLAGS);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    httplib::detail::get_remote_ip_and_port(sock_, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    httplib::detail::get_local_ip_and_port(sock_, ip, port);
  }
  socket_t socket() const override { return sock_; }

 private:
  // Waits until the socket can be read (or written), never past the deadline.
  bool wait(bool reading) const {
    time_t sec, usec;
    if (!time_left(deadline_, &sec, &usec)) {
      *timed_out_ = true;
      return false;
    }
    ssize_t r = reading ? httplib::detail::select_read(sock_, sec, usec)
                        : httplib::detail::select_write(sock_, sec, usec);
    if (r == 0) *timed_out_ = true;
    return r > 0;
  }

  socket_t sock_;
  Clock::time_point deadline_;
  bool* timed_out_;
  bool* head_too_large_;
  char buf_[4096];
  size_t off_ = 0, len_ = 0;
  size_t head_ = 0;
  std::string status_;       // the start of the current head's status line
  bool line_empty_ = false;  // nothing yet on the current line of the head
  bool in_body_ = false;
};

}  // namespace

BoundedClient::BoundedClient(const std::string& host, int port, Clock::time_point deadline)
    : httplib::ClientImpl(host, port), deadline_(deadline) {
  time_t sec = 0, usec = 0;
  time_left(deadline, &sec, &usec);
  set_connection_timeout(sec, usec);
  set_keep_alive(false);
}

bool BoundedClient::process_socket(const Socket& socket, std::function<bool(httplib::Stream&)> callback) {
  BoundedStream stream(socket.sock, deadline_, &timed_out_, &head_too_large_);
  return callback(stream);
}
