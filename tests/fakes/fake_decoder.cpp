// fake_decoder: stands in for ffmpeg in the tests. It honours the decoder's
// argument vector as the tool builds it: the picture size from "-vf"
// scale=W:H,format=nv12, the video URL after "-f" "rawvideo", the audio URL
// after "-f" "f32le" (when present), and it takes its behaviour from the input
// URL after "-i", written as  fake://anything?key=value&key=value...
//
// Keys (unknown keys are ignored, so a test may carry any text in one):
//   frames=N     pictures to send (default 0)
//   blocks=N     audio blocks of 3840 bytes to send (default 0)
//   rate=R       pictures per second, 0 = as fast as possible (default 0)
//   arate=R      audio blocks per second, 0 = as fast as possible (default 0)
//   exit=N       exit code (default 0)
//   hold=1       after sending, keep both connections open until killed
//                (gives up after 600 s so that a forgotten one cannot linger)
//   cut=1        after the pictures, send half a picture, then exit
//   noaudio=1    never connect the audio channel
//   aclose=1     close the audio channel once its blocks are sent (video goes on)
//   vdelay=MS    wait MS milliseconds (from the start) before connecting video
//   adelay=MS    the same for audio
//   chunk=N      write in pieces of at most N bytes per send (default: whole units)
//   noconnect=1  exit at once, without connecting (after writing the record)
//   raise=N      end by raising signal N instead of exiting (POSIX only)
//   record=PATH  write a record file; the environment variable
//                QOR_FAKE_DECODER_RECORD names one too (the URL wins)
//   live=1       a live source: one thread writes the pictures (at rate) and the
//                audio blocks (at arate) in the order they fall due, counted from
//                the moment both channels are connected, as a decoder of one
//                live stream does: a picture it cannot write holds the audio back
//                too, and what falls behind is written late, never skipped. Each
//                picture starts with the time it was due (below).
//   flat=Y,U,V   every picture is one flat colour: each luma byte Y, each chroma
//                pair U,V (the content below no longer applies to pictures)
//   tone=DB      audio is a 1 kHz sine whose peak is DB dBFS on the left channel
//   rtone=DB     the same for the right channel (default: as tone)
//   times=PATH   once the pictures are written, write "pictures N first_us F
//                last_us L" there: F when the first picture's write began, L when
//                the last one's write returned (monotonic clock, microseconds), so
//                that a benchmark can time a reader from the writer's side
//
// Content, so that a reader can check every byte:
//   picture i (from 0), byte j: (i + j) & 0xFF; a cut picture has the bytes of
//     picture number `frames`, first half only.
//   under live=1 the first 8 bytes of each picture are instead the time it was
//     due: microseconds of the system's monotonic clock (std::chrono::steady_clock),
//     a little-endian int64, which a runtime stand-in in another process can read.
//   audio: sample frame k (from 0, continuing across blocks): left = k,
//     right = -k, as 32-bit little-endian floats (unless tone= is given).
//
// Record file (written before connecting), one item per line:
//   argc N
//   arg LEN:BYTES          once per element, LEN bytes exactly, then a newline
//   ppid N                 (Linux) the parent's pid
//   fd N TARGET            (Linux) each open descriptor from /proc/self/fd
//   job N                  (Windows) 1 when it runs in a job
//   end
//
// Closing: a connection the fake has written to and is about to close stays
// open until the reader has taken some of its bytes (checked in Linux's
// /proc/net/tcp, also under Wine; at most 10 s, or until the reader's end is
// gone). The tool
// accepts only a connection whose writer still holds it, as ffmpeg's outputs
// stay open for the length of the source; a fake that wrote a few bytes and
// closed before the tool took the connection would be refused.
//
// Exit code 2 (with a message on stderr) when the argument vector lacks what
// the tool always passes.
//
// On Windows the vector is taken the way ffmpeg takes it: the wide command line
// (GetCommandLineW) split by CommandLineToArgvW, each element converted to
// UTF-8. What the record shows is then what ffmpeg would read, whatever code
// page the C runtime's own argv would have gone through.
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>
typedef SOCKET fake_socket;
static const fake_socket kNoSocket = INVALID_SOCKET;
static void socket_startup() {
  WSADATA d;
  WSAStartup(MAKEWORD(2, 2), &d);
}
static void socket_close(fake_socket s) { closesocket(s); }
static int socket_send(fake_socket s, const char* p, int n) { return send(s, p, n, 0); }

static std::string utf8_of(const wchar_t* w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? (size_t)n : 1, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w, -1, &out[0], n, nullptr, nullptr);
  out.resize(strlen(out.c_str()));
  return out;
}

// Replaces the C runtime's argv with the UTF-8 view of the wide command line.
static void wide_arguments(int* argc, char*** argv) {
  static std::vector<std::string> texts;
  static std::vector<char*> ptrs;
  int n = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (!wide) return;
  for (int i = 0; i < n; ++i) texts.push_back(utf8_of(wide[i]));
  LocalFree(wide);
  for (std::string& t : texts) ptrs.push_back(&t[0]);
  ptrs.push_back(nullptr);
  *argc = n;
  *argv = ptrs.data();
}
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int fake_socket;
static const fake_socket kNoSocket = -1;
static void socket_startup() {}
static void socket_close(fake_socket s) { close(s); }
// No SIGPIPE when the tool has gone: the send fails and the fake moves on.
static int socket_send(fake_socket s, const char* p, int n) { return (int)send(s, p, (size_t)n, MSG_NOSIGNAL); }
#endif

struct Behaviour {
  long frames = 0, blocks = 0, rate = 0, arate = 0, exit_code = 0;
  long hold = 0, cut = 0, noaudio = 0, vdelay = 0, adelay = 0, chunk = 0, noconnect = 0, raise_sig = 0;
  long aclose = 0, live = 0;
  std::string record, times;
  bool flat = false, tone = false, rtone = false;
  int flat_y = 0, flat_u = 0, flat_v = 0;
  double tone_db = 0, rtone_db = 0;
};

static Behaviour gB;
static int gWidth = 0, gHeight = 0;
static std::chrono::steady_clock::time_point gStart;

static void parse_behaviour(const std::string& url) {
  size_t q = url.find('?');
  if (q == std::string::npos) return;
  size_t pos = q + 1;
  while (pos <= url.size()) {
    size_t amp = url.find('&', pos);
    if (amp == std::string::npos) amp = url.size();
    std::string item = url.substr(pos, amp - pos);
    size_t eq = item.find('=');
    std::string key = item.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    long n = atol(value.c_str());
    if (key == "frames") gB.frames = n;
    else if (key == "blocks") gB.blocks = n;
    else if (key == "rate") gB.rate = n;
    else if (key == "arate") gB.arate = n;
    else if (key == "exit") gB.exit_code = n;
    else if (key == "hold") gB.hold = n;
    else if (key == "cut") gB.cut = n;
    else if (key == "noaudio") gB.noaudio = n;
    else if (key == "vdelay") gB.vdelay = n;
    else if (key == "adelay") gB.adelay = n;
    else if (key == "chunk") gB.chunk = n;
    else if (key == "noconnect") gB.noconnect = n;
    else if (key == "raise") gB.raise_sig = n;
    else if (key == "aclose") gB.aclose = n;
    else if (key == "record") gB.record = value;
    else if (key == "live") gB.live = n;
    else if (key == "times") gB.times = value;
    else if (key == "flat") gB.flat = sscanf(value.c_str(), "%d,%d,%d", &gB.flat_y, &gB.flat_u, &gB.flat_v) == 3;
    else if (key == "tone") gB.tone = true, gB.tone_db = atof(value.c_str());
    else if (key == "rtone") gB.rtone = true, gB.rtone_db = atof(value.c_str());
    pos = amp + 1;
  }
}

static int url_port(const char* url) {
  const char* colon = strrchr(url, ':');
  return colon ? atoi(colon + 1) : 0;
}

static void write_record(int argc, char** argv) {
  std::string path = gB.record;
  if (path.empty()) {
    const char* env = getenv("QOR_FAKE_DECODER_RECORD");
    if (!env || !*env) return;
    path = env;
  }
  // Written under another name and renamed, so a reader never sees half a record.
  std::string tmp = path + ".part";
  FILE* f = fopen(tmp.c_str(), "wb");
  if (!f) return;
  fprintf(f, "argc %d\n", argc);
  for (int i = 0; i < argc; ++i) {
    fprintf(f, "arg %zu:", strlen(argv[i]));
    fwrite(argv[i], 1, strlen(argv[i]), f);
    fputc('\n', f);
  }
#ifndef _WIN32
  fprintf(f, "ppid %d\n", (int)getppid());
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char link[300], target[4096];
      snprintf(link, sizeof link, "/proc/self/fd/%s", e->d_name);
      ssize_t n = readlink(link, target, sizeof target - 1);
      target[n < 0 ? 0 : n] = 0;
      fprintf(f, "fd %s %s\n", e->d_name, target);
    }
    closedir(d);
  }
#else
  // Read at the fake's first instructions, so it tells whether the process was
  // bound before it ever ran. (Wine answers a query of the job's limits with
  // zeros, so only the membership is recorded; the kill-on-close is seen by
  // killing the starter.)
  BOOL in_job = FALSE;
  bool bound = IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) && in_job;
  fprintf(f, "job %d\n", bound ? 1 : 0);
#endif
  fputs("end\n", f);
  fclose(f);
  remove(path.c_str());
  rename(tmp.c_str(), path.c_str());
}

static fake_socket connect_to(int port, long delay_ms) {
  std::this_thread::sleep_until(gStart + std::chrono::milliseconds(delay_ms));
  fake_socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kNoSocket) return kNoSocket;
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons((uint16_t)port);
  if (connect(s, (sockaddr*)&a, sizeof a) != 0) {
    socket_close(s);
    return kNoSocket;
  }
  return s;
}

// Sends len bytes, in pieces of at most chunk bytes when asked to.
static bool send_all(fake_socket s, const uint8_t* p, size_t len) {
  size_t piece = gB.chunk > 0 ? (size_t)gB.chunk : len;
  while (len > 0) {
    int n = socket_send(s, (const char*)p, (int)(len < piece ? len : piece));
    if (n <= 0) return false;
    p += n;
    len -= (size_t)n;
  }
  return true;
}

static void pace(long index, long per_second) {
  if (per_second <= 0) return;
  std::this_thread::sleep_until(gStart + std::chrono::microseconds(index * 1000000LL / per_second));
}

#ifdef _WIN32
typedef int fake_socklen;
// Under Wine the Linux table is reachable through the Z: drive; on Windows
// itself there is none, and the fake closes at once.
static const char* kTcpTable = "Z:\\proc\\net\\tcp";
#else
typedef socklen_t fake_socklen;
static const char* kTcpTable = "/proc/net/tcp";
#endif

// One end's row of /proc/net/tcp: the bytes it has sent but not had
// acknowledged, and the bytes it has received but not read.
static bool tcp_queues(const sockaddr_in& local, const sockaddr_in& remote, unsigned long* tx, unsigned long* rx) {
  FILE* f = fopen(kTcpTable, "r");
  if (!f) return false;
  char want_local[32], want_remote[32];
  snprintf(want_local, sizeof want_local, "%08X:%04X", (unsigned)local.sin_addr.s_addr, ntohs(local.sin_port));
  snprintf(want_remote, sizeof want_remote, "%08X:%04X", (unsigned)remote.sin_addr.s_addr, ntohs(remote.sin_port));
  char line[512];
  bool found = false;
  while (!found && fgets(line, sizeof line, f)) {
    char la[32], ra[32];
    if (sscanf(line, " %*u: %31s %31s %*x %lx:%lx", la, ra, tx, rx) == 4 && !strcmp(la, want_local) &&
        !strcmp(ra, want_remote)) {
      found = true;
    }
  }
  fclose(f);
  return found;
}

// Waits until the reader has taken some of the sent bytes: all of them have
// reached its side and fewer than sent are still unread there.
static void wait_taken(fake_socket s, uint64_t sent) {
  if (sent == 0) return;
  sockaddr_in me, reader;
  fake_socklen a = sizeof me, b = sizeof reader;
  if (getsockname(s, (sockaddr*)&me, &a) != 0 || getpeername(s, (sockaddr*)&reader, &b) != 0) return;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    unsigned long my_tx = 0, my_rx = 0, its_tx = 0, its_rx = 0;
    if (!tcp_queues(reader, me, &its_tx, &its_rx)) return;
    if (tcp_queues(me, reader, &my_tx, &my_rx) && my_tx == 0 && its_rx < sent) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

static int64_t monotonic_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

static void fill_picture(std::vector<uint8_t>& picture, long i, int64_t due_us) {
  if (gB.flat) {
    size_t luma = (size_t)gWidth * (size_t)gHeight;
    for (size_t j = 0; j < picture.size(); ++j)
      picture[j] = (uint8_t)(j < luma ? gB.flat_y : ((j - luma) & 1) ? gB.flat_v : gB.flat_u);
  } else {
    for (size_t j = 0; j < picture.size(); ++j) picture[j] = (uint8_t)((size_t)i + j);
  }
  if (gB.live && picture.size() >= 8) {
    for (int k = 0; k < 8; ++k) picture[(size_t)k] = (uint8_t)((uint64_t)due_us >> (8 * k));
  }
}

// Audio block number b: frame k is the counter (left k, right -k), or the
// tone: a 1 kHz sine, 48 samples a period, so its peak falls on a sample.
static void fill_block(float* block, int samples, long b) {
  const double kPi = 3.14159265358979323846;
  const double left = pow(10.0, gB.tone_db / 20.0), right = pow(10.0, (gB.rtone ? gB.rtone_db : gB.tone_db) / 20.0);
  for (int k = 0; k < samples; ++k) {
    long frame = b * samples + k;
    if (gB.tone) {
      double s = sin(2.0 * kPi * (double)(frame % 48) / 48.0);
      block[2 * k] = (float)(left * s);
      block[2 * k + 1] = (float)(right * s);
    } else {
      block[2 * k] = (float)frame;
      block[2 * k + 1] = -(float)frame;
    }
  }
}

// The writer's own timing of the pictures, for times=PATH.
static void write_times(long pictures, int64_t first_us, int64_t last_us) {
  if (gB.times.empty()) return;
  FILE* f = fopen(gB.times.c_str(), "wb");
  if (!f) return;
  fprintf(f, "pictures %ld first_us %lld last_us %lld\n", pictures, (long long)first_us, (long long)last_us);
  fclose(f);
}

static uint64_t video_body(fake_socket s) {
  size_t size = (size_t)gWidth * (size_t)gHeight * 3 / 2;
  long last = gB.frames + (gB.cut ? 1 : 0);
  // No picture to send, no buffer: a size too large to allocate is the tool's
  // problem to show, not the stand-in's.
  std::vector<uint8_t> picture(last > 0 ? size : 0);
  uint64_t sent = 0;
  int64_t first_us = 0;
  for (long i = 0; i < last; ++i) {
    pace(i, gB.rate);
    fill_picture(picture, i, 0);
    size_t len = i < gB.frames ? size : size / 2;
    if (i == 0) first_us = monotonic_us();
    if (!send_all(s, picture.data(), len)) return 0;
    sent += len;
  }
  write_times(gB.frames, first_us, monotonic_us());
  return sent;
}

// One writer for both channels, in the order the units fall due. Sets the byte
// counts written to each.
static void live_body(fake_socket video, fake_socket audio, uint64_t* video_sent, uint64_t* audio_sent) {
  using clock = std::chrono::steady_clock;
  const clock::time_point base = clock::now();
  const int64_t base_us = monotonic_us();
  std::vector<uint8_t> picture((size_t)gWidth * (size_t)gHeight * 3 / 2);
  const int kSamples = 480;
  float block[kSamples * 2];
  const long blocks = audio == kNoSocket ? 0 : gB.blocks;
  long i = 0, b = 0;
  int64_t first_us = 0;
  while (i < gB.frames || b < blocks) {
    // Due times in microseconds from the base; a rate of 0 means at once.
    int64_t video_due = i < gB.frames ? (gB.rate > 0 ? i * 1000000LL / gB.rate : 0) : INT64_MAX;
    int64_t audio_due = b < blocks ? (gB.arate > 0 ? b * 1000000LL / gB.arate : 0) : INT64_MAX;
    bool is_video = video_due <= audio_due;
    // Filled before the wait, so that each unit is written the moment it is due.
    if (is_video) fill_picture(picture, i, base_us + video_due);
    std::this_thread::sleep_until(base + std::chrono::microseconds(is_video ? video_due : audio_due));
    if (is_video) {
      if (i == 0) first_us = monotonic_us();
      if (!send_all(video, picture.data(), picture.size())) break;
      *video_sent += picture.size();
      ++i;
    } else {
      fill_block(block, kSamples, b);
      if (!send_all(audio, (const uint8_t*)block, sizeof block)) break;
      *audio_sent += sizeof block;
      ++b;
    }
  }
  write_times(i, first_us, monotonic_us());
}

static uint64_t audio_body(fake_socket s) {
  const int kSamples = 480;
  float block[kSamples * 2];
  uint64_t sent = 0;
  for (long b = 0; b < gB.blocks; ++b) {
    pace(b, gB.arate);
    fill_block(block, kSamples, b);
    if (!send_all(s, (const uint8_t*)block, sizeof block)) return 0;
    sent += sizeof block;
  }
  return sent;
}

int main(int argc, char** argv) {
  gStart = std::chrono::steady_clock::now();
#ifdef _WIN32
  wide_arguments(&argc, &argv);
#endif
  const char* input = nullptr;
  const char* video_url = nullptr;
  const char* audio_url = nullptr;
  for (int i = 1; i + 1 < argc; ++i) {
    if (!strcmp(argv[i], "-i")) input = argv[i + 1];
    if (!strcmp(argv[i], "-vf")) sscanf(argv[i + 1], "scale=%d:%d", &gWidth, &gHeight);
    if (!strcmp(argv[i], "-f") && i + 2 < argc && !strcmp(argv[i + 1], "rawvideo")) video_url = argv[i + 2];
    if (!strcmp(argv[i], "-f") && i + 2 < argc && !strcmp(argv[i + 1], "f32le")) audio_url = argv[i + 2];
  }
  if (input) parse_behaviour(input);
  write_record(argc, argv);
  if (!input || !video_url || gWidth <= 0 || gHeight <= 0) {
    fprintf(stderr, "fake_decoder: -i, -vf scale=W:H or the rawvideo URL missing\n");
    return 2;
  }
  if (gB.noconnect) return (int)gB.exit_code;

  socket_startup();
  std::vector<std::thread> threads;
  fake_socket video = kNoSocket, audio = kNoSocket;
  // Each channel is closed by its own thread once its reader has its bytes,
  // unless the fake holds them.
  const bool ending = !(gB.hold && !gB.cut);
  if (gB.live) {
    threads.emplace_back([&] {
      video = connect_to(url_port(video_url), gB.vdelay);
      if (video == kNoSocket) return;
      if (audio_url && !gB.noaudio) audio = connect_to(url_port(audio_url), gB.adelay);
      uint64_t video_sent = 0, audio_sent = 0;
      live_body(video, audio, &video_sent, &audio_sent);
      if (ending) {
        wait_taken(video, video_sent);
        socket_close(video);
        video = kNoSocket;
        if (audio != kNoSocket) {
          wait_taken(audio, audio_sent);
          socket_close(audio);
          audio = kNoSocket;
        }
      }
    });
  } else {
    threads.emplace_back([&] {
      video = connect_to(url_port(video_url), gB.vdelay);
      if (video == kNoSocket) return;
      uint64_t sent = video_body(video);
      if (ending) {
        wait_taken(video, sent);
        socket_close(video);
        video = kNoSocket;
      }
    });
    if (audio_url && !gB.noaudio) {
      threads.emplace_back([&] {
        audio = connect_to(url_port(audio_url), gB.adelay);
        if (audio == kNoSocket) return;
        uint64_t sent = audio_body(audio);
        if (ending || gB.aclose) {
          wait_taken(audio, sent);
          socket_close(audio);
          audio = kNoSocket;
        }
      });
    }
  }
  for (std::thread& t : threads) t.join();

  if (gB.hold && !gB.cut) std::this_thread::sleep_for(std::chrono::seconds(600));
  if (video != kNoSocket) socket_close(video);
  if (audio != kNoSocket) socket_close(audio);
#ifndef _WIN32
  if (gB.raise_sig > 0) raise((int)gB.raise_sig);
#endif
  return (int)gB.exit_code;
}
