// Starting, waiting for and killing the decoder, with the fake decoder in its
// place. Runs on both platforms (Windows under Wine).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "decoder_test_util.h"
#include "net.h"
#include "process.h"

namespace {

// A minimal decoder vector: what the fake needs to know, nothing else.
std::vector<std::string> fake_argv(const std::string& program, const std::string& input, int32_t video_port = 9,
                                   int32_t audio_port = 0) {
  std::vector<std::string> v = {program, "-i", input, "-vf", "scale=64:32,format=nv12",
                                "-f", "rawvideo", "tcp://127.0.0.1:" + std::to_string(video_port)};
  if (audio_port > 0) {
    v.push_back("-f");
    v.push_back("f32le");
    v.push_back("tcp://127.0.0.1:" + std::to_string(audio_port));
  }
  return v;
}

bool start(const std::vector<std::string>& v) {
  std::vector<const char*> p;
  for (const std::string& s : v) p.push_back(s.c_str());
  p.push_back(nullptr);
  return start_child(p.data());
}

// Leaves no decoder behind when a test stops half-way.
class Process : public testing::Test {
 protected:
  void TearDown() override {
    if (child_started()) {
      terminate_child();
      wait_child();
    }
  }
};

TEST_F(Process, MissingDecoderFailsTheStart) {
  std::string dir = scratch_path(".nothere");
  EXPECT_FALSE(start(fake_argv(dir + "/decoder", "fake://x")));
  EXPECT_FALSE(start(fake_argv("qor-no-such-decoder-4711", "fake://x")));
  EXPECT_FALSE(child_started());
  EXPECT_EQ(child_pid(), 0u);
}

TEST_F(Process, ExitCodesPassThrough) {
  for (int code : {1, 0, 3, 200}) {
    ASSERT_TRUE(start(fake_argv(QOR_FAKE_DECODER, "fake://x?noconnect=1&exit=" + std::to_string(code))));
    EXPECT_TRUE(child_started());
    EXPECT_NE(child_pid(), 0u);
    EXPECT_EQ(wait_child(), (uint32_t)code);
    // Once ended, the code is there again at once.
    EXPECT_EQ(wait_child(), (uint32_t)code);
  }
}

TEST_F(Process, TerminateFromAnotherThreadWhileWaitingGivesZero) {
  ASSERT_TRUE(start(fake_argv(QOR_FAKE_DECODER, "fake://x?noconnect=0&hold=1&exit=7&vdelay=600000")));
  uint32_t pid = child_pid();
  std::thread stopper([] {
    sleep_ms(300);
    terminate_child();
  });
  auto t0 = std::chrono::steady_clock::now();
  uint32_t code = wait_child();
  auto waited = std::chrono::steady_clock::now() - t0;
  stopper.join();
  EXPECT_EQ(code, 0u);
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_TRUE(wait_process_gone(pid, 1000));
  // Terminating an ended and collected decoder changes nothing.
  terminate_child();
  EXPECT_EQ(wait_child(), 0u);
}

TEST_F(Process, TerminateAfterItsOwnExitKeepsItsCode) {
  ASSERT_TRUE(start(fake_argv(QOR_FAKE_DECODER, "fake://x?noconnect=1&exit=5")));
  ASSERT_TRUE(wait_process_gone(child_pid(), 10000));
  terminate_child();  // ended, not yet collected
  EXPECT_EQ(wait_child(), 5u);
  terminate_child();  // collected
  EXPECT_EQ(wait_child(), 5u);
}

TEST_F(Process, NextStartOnlyAfterTheWait) {
  ASSERT_TRUE(start(fake_argv(QOR_FAKE_DECODER, "fake://x?hold=1&vdelay=600000")));
  EXPECT_FALSE(start(fake_argv(QOR_FAKE_DECODER, "fake://x?noconnect=1")));
  terminate_child();
  EXPECT_EQ(wait_child(), 0u);
  ASSERT_TRUE(start(fake_argv(QOR_FAKE_DECODER, "fake://x?noconnect=1&exit=4")));
  EXPECT_EQ(wait_child(), 4u);
}

TEST_F(Process, BareNameIsFoundOnTheSearchPath) {
  std::string full = QOR_FAKE_DECODER;
  size_t slash = full.find_last_of("/\\");
  ASSERT_NE(slash, std::string::npos);
  set_env("PATH", full.substr(0, slash).c_str());
  ASSERT_TRUE(start(fake_argv("fake_decoder", "fake://x?noconnect=1&exit=6")));
  EXPECT_EQ(wait_child(), 6u);
}

// Text a caller might put into the input URL, each of which must reach the
// decoder as one unchanged argument.
TEST_F(Process, HostileInputArrivesWhole) {
  std::string record = scratch_path(".rec");
  const std::vector<std::string> tails = {
      "say \"hi\" -f \"x\"",
      "\" -y \"C:\\evil.exe",
      "back\\slash\\\\\"mixed\\\\\\\"",
      "spaces  and\ttab",
      "trailing backslashes\\\\",
      std::string(3000, '\\') + "\"" + std::string(3000, 'q') + "\\",
      std::string(32000 - 600, 'u'),  // close to the Windows line limit
  };
  for (const std::string& tail : tails) {
    std::string input = fake_url("noconnect=1&junk=", record) + tail;
    std::vector<std::string> v = fake_argv(QOR_FAKE_DECODER, input);
    v.push_back("last\\");
    ASSERT_TRUE(start(v)) << tail.substr(0, 60);
    EXPECT_EQ(wait_child(), 0u);
    FakeRecord r = read_record(record);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.args, v) << tail.substr(0, 60);
    remove(record.c_str());
  }
}

TEST_F(Process, DecoderPathWithSpacesWorks) {
  namespace fs = std::filesystem;
  std::string dir = scratch_path(" dir with spaces");
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string name = fs::path(QOR_FAKE_DECODER).filename().string();
  std::string program = dir + "/fake " + name;
  fs::copy_file(QOR_FAKE_DECODER, program);
#ifdef _WIN32
  for (char& c : program) {
    if (c == '/') c = '\\';
  }
#endif
  std::string record = scratch_path(".rec");
  std::vector<std::string> v = fake_argv(program, fake_url("noconnect=1&exit=9", record));
  ASSERT_TRUE(start(v));
  EXPECT_EQ(wait_child(), 9u);
  FakeRecord r = read_record(record);
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.args, v);
}

TEST_F(Process, OverlongLineFailsTheStartOnWindows) {
  std::vector<std::string> v = fake_argv(QOR_FAKE_DECODER, "fake://x?noconnect=1&pad=" + std::string(33000, 'p'));
#ifdef _WIN32
  EXPECT_FALSE(start(v));
  EXPECT_FALSE(child_started());
#else
  // Linux passes the vector itself; its own limit is far above this.
  ASSERT_TRUE(start(v));
  EXPECT_EQ(wait_child(), 0u);
#endif
}

// The fake decoder's streams, as the pumps will read them: whole pictures and
// audio blocks with content that can be checked byte for byte.
TEST_F(Process, FakeDecoderStreamsCheckableContent) {
  net_startup();
  int32_t vport = 0, aport = 0;
  socket_t vl = listen_local(&vport);
  socket_t al = listen_local(&aport);
  ASSERT_NE(vl, kInvalidSocket);
  ASSERT_NE(al, kInvalidSocket);
  ASSERT_TRUE(start(fake_argv(QOR_FAKE_DECODER, "fake://x?frames=3&blocks=4&chunk=100&cut=1&exit=1", vport, aport)));
  socket_t v = accept_timeout(vl, 20000);
  socket_t a = accept_timeout(al, 20000);
  ASSERT_NE(v, kInvalidSocket);
  ASSERT_NE(a, kInvalidSocket);

  auto read_all = [](socket_t s) {
    std::vector<uint8_t> out;
    uint8_t buf[4096];
    for (;;) {
      int32_t n = recv_gathered(s, buf, sizeof buf);
      if (n <= 0) return out;
      out.insert(out.end(), buf, buf + n);
    }
  };
  std::vector<uint8_t> audio = read_all(a);
  std::vector<uint8_t> video = read_all(v);
  EXPECT_EQ(wait_child(), 1u);

  const size_t picture = 64 * 32 * 3 / 2;
  ASSERT_EQ(video.size(), 3 * picture + picture / 2);
  for (size_t j = 0; j < video.size(); ++j) {
    ASSERT_EQ(video[j], (uint8_t)(j / picture + j % picture)) << j;
  }
  ASSERT_EQ(audio.size(), 4u * 3840u);
  for (size_t k = 0; k < audio.size() / 8; ++k) {
    float lr[2];
    memcpy(lr, &audio[k * 8], sizeof lr);
    ASSERT_EQ(lr[0], (float)k);
    ASSERT_EQ(lr[1], -(float)k);
  }
  close_socket(v);
  close_socket(a);
  close_socket(vl);
  close_socket(al);
}

// The tool's binding, shown with a stand-in for the tool: spawn_probe starts
// the fake decoder through start_child and is then killed from outside; the
// decoder must go with it (Linux: the parent-death signal; Windows: the job's
// kill-on-close).
TEST_F(Process, KillingTheStarterTakesTheDecoderWithIt) {
  std::string pidfile = scratch_path(".pid");
  std::vector<std::string> probe = {QOR_SPAWN_PROBE, pidfile};
  for (const std::string& s : fake_argv(QOR_FAKE_DECODER, "fake://x?hold=1&vdelay=600000")) probe.push_back(s);
  int64_t h = spawn_plain(probe);
  ASSERT_NE(h, -1);
  uint32_t decoder = 0;
  for (int i = 0; i < 1000 && decoder == 0; ++i) {
    std::ifstream f(pidfile);
    if (!(f >> decoder)) decoder = 0;
    if (decoder == 0) sleep_ms(20);
  }
  if (decoder == 0) kill_plain(h);
  ASSERT_NE(decoder, 0u);
  EXPECT_FALSE(wait_process_gone(decoder, 200)) << "the decoder should be running";
  kill_plain(h);
  EXPECT_TRUE(wait_process_gone(decoder, 1000));
}

}  // namespace
