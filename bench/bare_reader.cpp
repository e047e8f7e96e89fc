// bare_reader: the yardstick for the relay benchmarks. It does what the tool's
// media path does with nothing else around it: listens on 127.0.0.1 the way the
// tool does, starts the decoder with the argument vector the tool would build
// for the same settings, accepts its connections and receives whole pictures
// into one buffer, counting them. Audio blocks (when audio is on) are read and
// dropped on a second thread, as the tool's audio pump would.
//
//   bare_reader [--waitall] [--unaligned] [--plain] [--times <file>] --ffmpeg <decoder> --input <url> [--width W] [--height H] [--no-audio]
//
// --waitall receives with MSG_WAITALL, one call per picture while the stream
// flows, to weigh that receive mode against plain receives. The picture buffer
// is page-aligned like the tool's; --unaligned uses the block malloc returns as
// it is (16 bytes into a page), to show what that placement costs. Like the
// tool, it receives with recv_gathered (woken once a whole picture or audio
// block is waiting); --plain uses plain blocking receives, woken for each
// arriving segment, to show what that costs.
//
// --times writes a line to the file as each whole picture or audio block has
// arrived: "v <wall-clock us> <luma at the picture's centre>" and
// "a <wall-clock us> <largest magnitude of the block's left channel>", the
// same figures the stand-in runtime records at the send, so that a camera's
// flash and beep can be timed to the reader as to the tool.
//
// It speaks the same event lines the tool does, so a driver can time both the
// same way, from the arrival of "started" to the arrival of "exit":
//   {"event":"started","width":W,"height":H,"audio":true|false}
//   {"event":"exit","ffmpeg":<code>,"frames":<whole pictures>,"recv_calls":<n>,"busy_us":<accept to end of stream>}
// Exit code 0 after the decoder ended, 3 when it could not be started or did
// not connect, 64 on a usage error.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <mutex>

#include "decoder_cmdline.h"
#include "net.h"
#include "options.h"
#include "process.h"

namespace {

// A listener of its own, made like the tool's: loopback, system-chosen port,
// backlog 1, close-on-exec.
int listen_loopback(int32_t* port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) return -1;
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(s, (sockaddr*)&addr, sizeof addr) != 0 || listen(s, 1) != 0 ||
      getsockname(s, (sockaddr*)&addr, &len) != 0) {
    close(s);
    return -1;
  }
  *port = (int32_t)ntohs(addr.sin_port);
  return s;
}

int accept_one(int listener) {
  int c;
  do {
    c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  } while (c < 0 && errno == EINTR);
  return c;
}

int gRecvFlags = 0;
bool gUnaligned = false;
bool gPlain = false;
FILE* gTimes = nullptr;
std::mutex gTimesLock;

int64_t now_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

int64_t wall_us() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

void log_time(char kind, int64_t at, double value) {
  std::lock_guard<std::mutex> hold(gTimesLock);
  fprintf(gTimes, "%c %lld %.4f\n", kind, (long long)at, value);
  fflush(gTimes);  // whole lines even when a signal ends the reader
}

// Receives exactly len bytes, each receive asking for what is missing.
bool recv_whole(int s, uint8_t* buf, size_t len, uint64_t* calls) {
  size_t got = 0;
  while (got < len) {
    ssize_t n = gPlain ? recv(s, buf + got, len - got, gRecvFlags) : recv_gathered(s, buf + got, (int32_t)(len - got));
    ++*calls;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += (size_t)n;
  }
  return true;
}

void* drain_audio_thread(void* arg) {
  int s = *(int*)arg;
  uint8_t block[3840];
  uint64_t calls = 0;
  while (recv_whole(s, block, sizeof block, &calls)) {
    if (!gTimes) continue;
    const int64_t at = wall_us();
    float peak = 0;
    for (size_t k = 0; k < sizeof block; k += 8) {
      float left;
      memcpy(&left, block + k, sizeof left);
      peak = fmaxf(peak, fabsf(left));
    }
    log_time('a', at, peak);
  }
  close(s);
  return nullptr;
}

// The frames' times: taken and thrown away (main closes the listener), so that the decoder does the same
// work as for the tool (the floor is a reader of the same vector).
void* drain_times_thread(void* arg) {
  int listener = *(int*)arg;
  int s = accept_one(listener);
  char text[4096];
  while (s >= 0 && recv(s, text, sizeof text, 0) > 0) {
  }
  if (s >= 0) close(s);
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const char* decoder = nullptr;
  const char* input = nullptr;
  int32_t width = 1920, height = 1080, audio = 1;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--no-audio")) audio = 0;
    else if (!strcmp(argv[i], "--waitall")) gRecvFlags = MSG_WAITALL, gPlain = true;
    else if (!strcmp(argv[i], "--unaligned")) gUnaligned = true;
    else if (!strcmp(argv[i], "--plain")) gPlain = true;
    else if (i + 1 < argc && !strcmp(argv[i], "--times")) gTimes = fopen(argv[++i], "w");
    else if (i + 1 < argc && !strcmp(argv[i], "--ffmpeg")) decoder = argv[++i];
    else if (i + 1 < argc && !strcmp(argv[i], "--input")) input = argv[++i];
    else if (i + 1 < argc && !strcmp(argv[i], "--width")) width = atoi(argv[++i]);
    else if (i + 1 < argc && !strcmp(argv[i], "--height")) height = atoi(argv[++i]);
    else decoder = nullptr, i = argc;
  }
  if (!decoder || !input || width <= 0 || height <= 0) {
    fprintf(stderr, "usage: bare_reader [--waitall] [--unaligned] [--plain] [--times <file>] --ffmpeg <decoder> --input <url> [--width W] [--height H] [--no-audio]\n");
    return 64;
  }

  // The same settings the tool would hold, so the decoder gets the same vector.
  gOpt.input = input;
  gOpt.name = "bare";
  gOpt.ffmpeg = decoder;
  gOpt.audio = audio;
  gOpt.width = width;
  gOpt.height = height;
  gOpt.fps = 30;

  int32_t video_port = 0, audio_port = 0, times_ports[2] = {0, 0};
  int video_listener = listen_loopback(&video_port);
  int audio_listener = audio ? listen_loopback(&audio_port) : -1;
  int times_listeners[2] = {listen_loopback(&times_ports[0]), audio ? listen_loopback(&times_ports[1]) : -1};
  if (video_listener < 0 || times_listeners[0] < 0 || (audio && (audio_listener < 0 || times_listeners[1] < 0))) return 3;
  DecoderArgs args;
  build_decoder_args(&args, video_port, audio_port, times_ports[0], times_ports[1]);
  if (!start_child(args.argv)) return 3;
  pthread_t times_drains[2];
  for (int i = 0; i < 1 + audio; ++i) pthread_create(&times_drains[i], nullptr, drain_times_thread, &times_listeners[i]);

  int video = accept_one(video_listener);
  int audio_conn = audio ? accept_one(audio_listener) : -1;
  close(video_listener);
  if (audio) close(audio_listener);
  if (video < 0 || (audio && audio_conn < 0)) {
    terminate_child();
    wait_child();
    return 3;
  }
  const int64_t t0 = now_us();
  printf("{\"event\":\"started\",\"width\":%d,\"height\":%d,\"audio\":%s}\n", (int)width, (int)height,
         audio ? "true" : "false");
  fflush(stdout);

  pthread_t drain;
  bool draining = audio && pthread_create(&drain, nullptr, drain_audio_thread, &audio_conn) == 0;

  const size_t size = (size_t)width * (size_t)height * 3 / 2;
  const size_t align = gUnaligned ? 1 : 4096;
  uint8_t* block = (uint8_t*)malloc(size + align);
  uint8_t* picture = block + (align - (uintptr_t)block % align) % align;
  uint64_t frames = 0, calls = 0;
  if (block) {
    while (recv_whole(video, picture, size, &calls)) {
      ++frames;
      if (gTimes) log_time('v', wall_us(), picture[(size_t)(height / 2) * (size_t)width + (size_t)(width / 2)]);
    }
    free(block);
  }
  const int64_t t1 = now_us();
  close(video);
  uint32_t code = wait_child();
  if (draining) pthread_join(drain, nullptr);
  // A decoder that ended before it connected leaves its drain in the accept.
  for (int i = 0; i < 1 + audio; ++i) {
    shutdown(times_listeners[i], SHUT_RDWR);
    pthread_join(times_drains[i], nullptr);
    close(times_listeners[i]);
  }
  if (gTimes) fclose(gTimes);
  printf("{\"event\":\"exit\",\"ffmpeg\":%u,\"frames\":%llu,\"recv_calls\":%llu,\"busy_us\":%lld}\n", code,
         (unsigned long long)frames, (unsigned long long)calls, (long long)(t1 - t0));
  fflush(stdout);
  return 0;
}
