// The media pumps on real loopback connections, without a decoder or a runtime
// (no sender: the pumps still receive and count). Runs on both platforms.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "control.h"
#include "decoder_test_util.h"
#include "net.h"
#include "options.h"
#include "pumps.h"

namespace {

// A tiny picture keeps every case inside the sockets' buffers.
const int32_t kWidth = 16, kHeight = 8;
const size_t kPicture = kWidth * kHeight * 3 / 2;

class Pumps : public testing::Test {
 protected:
  static void SetUpTestSuite() { net_startup(); }

  void SetUp() override {
    gOpt.width = kWidth;
    gOpt.height = kHeight;
    gOpt.fps = 30;
    gStop.store(0);
    gFrames.store(0);
    gSender = nullptr;
    ASSERT_TRUE(connected_pair(&client_, &conn_));
  }

  void TearDown() override {
    if (client_ != kInvalidSocket) close_socket(client_);
    if (conn_ != kInvalidSocket) close_socket(conn_);
    gStop.store(0);
  }

  // The pump leaves its connection to the run: after it has ended, the
  // connection is still open and holds what the pump did not read.
  size_t left_unread() {
    std::vector<uint8_t> buf(kPicture * 4);
    close_socket(client_);  // so that the reads below end
    client_ = kInvalidSocket;
    size_t n = 0;
    for (;;) {
      int32_t got = recv_gathered(conn_, buf.data(), (int32_t)buf.size());
      if (got <= 0) return n;
      n += (size_t)got;
    }
  }

  // The pumps on a connection alone, as with a decoder that gives no frame times.
  static void run_video(socket_t s) {
    PumpChannel channel = {s, kInvalidSocket};
    video_thread(&channel);
  }
  static void run_audio(socket_t s) {
    PumpChannel channel = {s, kInvalidSocket};
    audio_thread(&channel);
  }

  socket_t client_ = kInvalidSocket;
  socket_t conn_ = kInvalidSocket;  // handed to the pump; the test closes it
};

// A stop that comes after the connections were accepted but before the pumps
// start: each pump ends at once and receives nothing, although data is
// waiting; the connection stays open for the run to close.
TEST_F(Pumps, StopBeforeStartEndsWithoutReceiving) {
  std::vector<uint8_t> data(kPicture * 2, 7);
  ASSERT_TRUE(send_all(client_, data.data(), data.size()));
  gStop.store(1);
  run_video(conn_);
  EXPECT_EQ(gFrames.load(), 0);
  EXPECT_EQ(left_unread(), data.size());
}

TEST_F(Pumps, AudioStopBeforeStartEndsWithoutReceiving) {
  std::vector<uint8_t> data(kAudioBlockBytes, 1);
  ASSERT_TRUE(send_all(client_, data.data(), data.size()));
  gStop.store(1);
  run_audio(conn_);
  EXPECT_EQ(left_unread(), data.size());
}

// The other end stays open and silent (a process the decoder started that
// outlives it): once the stop is set, waking the connection ends each pump,
// whether it is already blocked in a receive or only about to begin one.
TEST_F(Pumps, WakingEndsPumpsWhoseOtherEndStaysOpen) {
  socket_t audio_client, audio_conn;
  ASSERT_TRUE(connected_pair(&audio_client, &audio_conn));
  std::vector<uint8_t> data(kPicture / 2, 5);
  ASSERT_TRUE(send_all(client_, data.data(), data.size()));  // half a picture, then silence
  std::thread video([this] { run_video(conn_); });
  std::thread audio([&] { run_audio(audio_conn); });
  sleep_ms(200);
  gStop.store(1);
  wake_socket(conn_);
  wake_socket(audio_conn);
  video.join();
  audio.join();
  EXPECT_EQ(gFrames.load(), 0);
  // Woken before a pump starts: it ends without waiting as well.
  gStop.store(0);
  socket_t c2, s2;
  ASSERT_TRUE(connected_pair(&c2, &s2));
  wake_socket(s2);
  run_video(s2);
  close_socket(s2);
  close_socket(c2);
  close_socket(audio_conn);
  close_socket(audio_client);
}

// Whole pictures are counted whatever pieces they arrive in; the partial
// picture before the end of the stream is not. Each picture is written once
// the one before has been sent, as a live source's would be: a picture that a
// newer one overtakes during a send is dropped by design, and a slow machine
// (an emulator) would otherwise make that happen here.
TEST_F(Pumps, CountsWholePicturesFromOddPiecesAndDropsTheTail) {
  std::vector<uint8_t> data(kPicture * 3 + kPicture / 2);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)i;
  std::thread writer([&] {
    for (size_t at = 0; at < data.size(); at += 7) {
      size_t n = data.size() - at < 7 ? data.size() - at : 7;
      if (!send_all(client_, data.data() + at, n)) return;
      if (at % 70 == 0) sleep_ms(1);
      int32_t whole = (int32_t)((at + n) / kPicture);
      if (at / kPicture != (at + n) / kPicture) {
        for (int i = 0; i < 1000 && gFrames.load() < whole; ++i) sleep_ms(5);
      }
    }
    close_socket(client_);
  });
  run_video(conn_);
  writer.join();
  client_ = kInvalidSocket;
  EXPECT_EQ(gFrames.load(), 3);
}

// The stop flag is looked at between pictures: a pump waiting inside a picture
// finishes it, counts it, and then ends without waiting for the stream's end.
TEST_F(Pumps, StopDuringAPictureFinishesThatPictureThenEnds) {
  std::vector<uint8_t> data(kPicture * 2, 3);
  ASSERT_TRUE(send_all(client_, data.data(), kPicture + kPicture / 2));
  std::thread pump([this] { run_video(conn_); });
  // Once the first picture is counted the pump goes on into the second, which
  // is half there.
  for (int i = 0; i < 500 && gFrames.load() < 1; ++i) sleep_ms(10);
  ASSERT_EQ(gFrames.load(), 1);
  sleep_ms(100);
  gStop.store(1);
  ASSERT_TRUE(send_all(client_, data.data(), kPicture / 2));
  pump.join();
  EXPECT_EQ(gFrames.load(), 2);
  EXPECT_EQ(left_unread(), 0u);
}

}  // namespace
