// Linux-only properties of the decoder start: what the child inherits (its
// descriptors, signal dispositions, process group), how it is bound to the
// starting thread, how signals show in its exit code.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "decoder_test_util.h"
#include "net.h"
#include "process.h"

namespace {

bool start(const std::vector<std::string>& v) {
  std::vector<const char*> p;
  for (const std::string& s : v) p.push_back(s.c_str());
  p.push_back(nullptr);
  return start_child(p.data());
}

std::vector<std::string> fake_argv(const std::string& input) {
  return {QOR_FAKE_DECODER, "-i", input, "-vf", "scale=64:32,format=nv12", "-f", "rawvideo", "tcp://127.0.0.1:9"};
}

class ProcessPosix : public testing::Test {
 protected:
  void TearDown() override {
    if (child_started()) {
      terminate_child();
      wait_child();
    }
  }
};

TEST_F(ProcessPosix, DecoderGetsNullStdioAndNoOtherDescriptor) {
  int32_t port = 0;
  socket_t listener = listen_local(&port);
  ASSERT_NE(listener, kInvalidSocket);
  socket_t client = connect_local(port);
  socket_t conn = accept_timeout(listener, 5000);
  ASSERT_NE(conn, kInvalidSocket);
  // One the tool might have been handed by its own parent, without close-on-exec.
  int handed_down = open("/proc/self/exe", O_RDONLY);
  ASSERT_GE(handed_down, 0);

  std::string record = scratch_path(".rec");
  ASSERT_TRUE(start(fake_argv(fake_url("noconnect=1", record))));
  EXPECT_EQ(wait_child(), 0u);
  FakeRecord r = read_record(record);
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.ppid, (long)getpid());

  std::vector<int> seen;
  for (const auto& fd : r.fds) {
    seen.push_back(fd.first);
    if (fd.first <= 2) {
      EXPECT_EQ(fd.second, "/dev/null") << "fd " << fd.first;
    } else {
      // Only the fake's own: its record file and the directory it lists.
      bool own = fd.second == record + ".part" || fd.second.rfind("/proc/", 0) == 0;
      EXPECT_TRUE(own) << "fd " << fd.first << " -> " << fd.second;
    }
    EXPECT_EQ(fd.second.find("socket:"), std::string::npos) << "fd " << fd.first;
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 0), 1);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 1);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 2), 1);
  EXPECT_EQ(r.fds.size(), 5u);
  close(handed_down);
  close_socket(client);
  close_socket(conn);
  close_socket(listener);
}

TEST_F(ProcessPosix, AnotherSignalGives128PlusItsNumber) {
  ASSERT_TRUE(start(fake_argv("fake://x?noconnect=0&vdelay=0&raise=15&exit=3")));
  EXPECT_EQ(wait_child(), 128u + SIGTERM);
}

TEST_F(ProcessPosix, SigkillFromOutsideIsNotMistakenForTerminate) {
  ASSERT_TRUE(start(fake_argv("fake://x?hold=1&vdelay=600000")));
  ASSERT_EQ(kill((pid_t)child_pid(), SIGKILL), 0);
  EXPECT_EQ(wait_child(), 128u + SIGKILL);
}

// A field of /proc/PID/status as a number (the signal masks are hexadecimal).
unsigned long long status_field(pid_t pid, const std::string& name, int base) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stoull(line.substr(name.size() + 1), nullptr, base);
  }
  ADD_FAILURE() << name << " missing";
  return 0;
}

TEST_F(ProcessPosix, DecoderGetsItsOwnGroupAndDefaultSignals) {
  // As the tool has them when it starts the decoder (and more: ignored by
  // whoever started the tool).
  sigset_t stop, old_mask;
  sigemptyset(&stop);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop, s);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &stop, &old_mask), 0);
  void (*old_pipe)(int) = signal(SIGPIPE, SIG_IGN);
  void (*old_int)(int) = signal(SIGINT, SIG_IGN);

  bool started = start({"sleep", "30"});
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  signal(SIGPIPE, old_pipe);
  signal(SIGINT, old_int);
  ASSERT_TRUE(started);
  pid_t pid = (pid_t)child_pid();

  EXPECT_EQ(getpgid(pid), pid);
  unsigned long long blocked = status_field(pid, "SigBlk", 16);
  unsigned long long ignored = status_field(pid, "SigIgn", 16);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    EXPECT_EQ((blocked >> (s - 1)) & 1, 0u) << "blocked: " << s;
    EXPECT_EQ((ignored >> (s - 1)) & 1, 0u) << "ignored: " << s;
  }
}

TEST_F(ProcessPosix, ProgramThatIsNotExecutableFailsTheStart) {
  std::string path = scratch_path(".noexec");
  {
    std::ofstream f(path);
    f << "echo started by a shell\n";
  }
  chmod(path.c_str(), 0644);
  EXPECT_FALSE(start({path, "-i", "fake://x"}));
  // A script without an interpreter line is not handed to a shell either.
  chmod(path.c_str(), 0755);
  EXPECT_FALSE(start({path, "-i", "fake://x"}));
  EXPECT_FALSE(child_started());
}

TEST_F(ProcessPosix, StartFromAnotherThreadIsRefused) {
  // The death signal would follow that thread, not the tool.
  bool started = true;
  std::thread t([&] { started = start(fake_argv("fake://x?noconnect=1")); });
  t.join();
  EXPECT_FALSE(started);
  EXPECT_FALSE(child_started());
}

}  // namespace
