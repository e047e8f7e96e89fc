#include "decoder_test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

std::string scratch_path(const char* suffix) {
  const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info();
  std::string path = std::string(QOR_TEST_SCRATCH) + "/" + (t ? t->test_suite_name() : "none") + "." +
                     (t ? t->name() : "none") + suffix;
  remove(path.c_str());
  return path;
}

FakeRecord read_record(const std::string& path) {
  FakeRecord r;
  std::ifstream f(path, std::ios::binary);
  if (!f) return r;
  std::string word;
  while (f >> word) {
    if (word == "arg") {
      size_t len = 0;
      f >> len;
      if (f.get() != ':') return r;
      std::string value(len, '\0');
      if (len > 0 && !f.read(&value[0], (std::streamsize)len)) return r;
      r.args.push_back(value);
    } else if (word == "ppid") {
      f >> r.ppid;
    } else if (word == "job") {
      f >> r.job;
    } else if (word == "fd") {
      int fd = -1;
      std::string target;
      f >> fd;
      f.get();
      std::getline(f, target);
      r.fds.emplace_back(fd, target);
      continue;
    } else if (word == "end") {
      r.complete = true;
      return r;
    }
    std::string rest;
    std::getline(f, rest);
  }
  return r;
}

FakeRecord wait_record(const std::string& path, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    FakeRecord r = read_record(path);
    if (r.complete || std::chrono::steady_clock::now() > deadline) return r;
    sleep_ms(20);
  }
}

std::string fake_url(const std::string& keys, const std::string& record) {
  return "fake://decoder?record=" + record + (keys.empty() ? "" : "&" + keys);
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool connected_pair(socket_t* client, socket_t* server) {
  int32_t port = 0;
  socket_t listener = listen_local(&port);
  if (listener == kInvalidSocket) return false;
  *client = connect_local(port);
  *server = *client == kInvalidSocket ? kInvalidSocket : accept_timeout(listener, 5000);
  close_socket(listener);
  if (*server != kInvalidSocket) return true;
  if (*client != kInvalidSocket) close_socket(*client);
  *client = kInvalidSocket;
  return false;
}
