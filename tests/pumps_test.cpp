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
    gStop.store(0);
  }

  // True once the pump's side of the connection is gone: the client reads
  // the end of the stream (or a reset, when unread bytes were left behind).
  bool pump_closed_its_end() {
    char byte;
    return recv_gathered(client_, &byte, 1) <= 0;
  }

  socket_t client_ = kInvalidSocket;
  socket_t conn_ = kInvalidSocket;  // handed to the pump, which closes it
};

// A stop that comes after the connections were accepted but before the pumps
// start: each pump ends at once, receives nothing and still closes its
// connection, although data is waiting.
TEST_F(Pumps, StopBeforeStartEndsWithoutReceiving) {
  std::vector<uint8_t> data(kPicture * 2, 7);
  ASSERT_TRUE(send_all(client_, data.data(), data.size()));
  gStop.store(1);
  video_thread(&conn_);
  EXPECT_EQ(gFrames.load(), 0);
  EXPECT_TRUE(pump_closed_its_end());
}

TEST_F(Pumps, AudioStopBeforeStartEndsWithoutReceiving) {
  std::vector<uint8_t> data(kAudioBlockBytes, 1);
  ASSERT_TRUE(send_all(client_, data.data(), data.size()));
  gStop.store(1);
  audio_thread(&conn_);
  EXPECT_TRUE(pump_closed_its_end());
}

// Whole pictures are counted whatever pieces they arrive in; the partial
// picture before the end of the stream is not.
TEST_F(Pumps, CountsWholePicturesFromOddPiecesAndDropsTheTail) {
  std::vector<uint8_t> data(kPicture * 3 + kPicture / 2);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)i;
  std::thread writer([&] {
    for (size_t at = 0; at < data.size(); at += 7) {
      size_t n = data.size() - at < 7 ? data.size() - at : 7;
      if (!send_all(client_, data.data() + at, n)) return;
      if (at % 70 == 0) sleep_ms(1);
    }
    close_socket(client_);
  });
  video_thread(&conn_);
  writer.join();
  client_ = kInvalidSocket;
  EXPECT_EQ(gFrames.load(), 3);
}

// The stop flag is looked at between pictures: a pump waiting inside a picture
// finishes it, counts it, and then ends without waiting for the stream's end.
TEST_F(Pumps, StopDuringAPictureFinishesThatPictureThenEnds) {
  std::vector<uint8_t> data(kPicture * 2, 3);
  ASSERT_TRUE(send_all(client_, data.data(), kPicture + kPicture / 2));
  std::thread pump([this] { video_thread(&conn_); });
  // Once the first picture is counted the pump goes on into the second, which
  // is half there.
  for (int i = 0; i < 500 && gFrames.load() < 1; ++i) sleep_ms(10);
  ASSERT_EQ(gFrames.load(), 1);
  sleep_ms(100);
  gStop.store(1);
  ASSERT_TRUE(send_all(client_, data.data(), kPicture / 2));
  pump.join();
  EXPECT_EQ(gFrames.load(), 2);
  EXPECT_TRUE(pump_closed_its_end());
}

}  // namespace
