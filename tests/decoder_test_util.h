// Helpers for the decoder tests: the fake decoder's record file, scratch paths,
// and a few platform operations the tests need beside the code under test.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "net.h"

// What the fake decoder wrote about itself (see tests/fakes/fake_decoder.cpp).
struct FakeRecord {
  bool complete = false;
  std::vector<std::string> args;
  long ppid = -1;                                          // Linux only
  std::vector<std::pair<int, std::string>> fds;            // Linux only: fd, link target
  int job = -1;                                            // Windows only: 1 when it ran in a job
};

// A fresh path in the tests' scratch directory, unique to this test and process;
// any file left there by an earlier run is removed.
std::string scratch_path(const char* suffix);

// Reads a record; complete is false while the file is missing or unfinished.
FakeRecord read_record(const std::string& path);

// Polls for a complete record for up to timeout_ms.
FakeRecord wait_record(const std::string& path, int timeout_ms);

// The fake decoder's input URL with the given keys and a record file.
std::string fake_url(const std::string& keys, const std::string& record);

// --- platform helpers (decoder_test_util_posix.cpp / _win.cpp) ---

// Starts argv as an ordinary child, with none of start_child's binding.
// Returns a handle for kill_plain, or -1.
int64_t spawn_plain(const std::vector<std::string>& argv);

// Kills what spawn_plain started, at once, and collects it.
void kill_plain(int64_t handle);

// True when process pid has ended (a zombie counts as ended) within timeout_ms.
bool wait_process_gone(uint32_t pid, int timeout_ms);

// A client connection to 127.0.0.1:port, or kInvalidSocket.
socket_t connect_local(int32_t port);

bool send_all(socket_t s, const void* data, size_t len);

// A client connection and the tool's side of it, made through a listener of
// the tool's own kind (closed again). False, with nothing left open, on failure.
bool connected_pair(socket_t* client, socket_t* server);

void set_env(const char* name, const char* value);

void sleep_ms(int ms);
