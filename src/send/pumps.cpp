#include "pumps.h"

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "audio_hold.h"
#include "control.h"
#include "frame_times.h"
#include "level.h"
#include "monitor.h"
#include "options.h"
#include "peer.h"
#include "qor_ndi.h"
#include "realtime_after.h"
#include "timeline.h"

bool recv_full(socket_t s, uint8_t* buf, uint64_t len) {
  uint64_t got = 0;
  while (got < len) {
    // Each receive asks for what is still missing, in pieces a signed 32-bit
    // length can express, so pictures of 2 GiB and more arrive whole too.
    uint64_t want = len - got;
    if (want > INT32_MAX) want = INT32_MAX;
    int32_t n = recv_gathered(s, buf + got, (int32_t)want);
    if (n <= 0) return false;
    got += (uint64_t)n;
  }
  return true;
}

// A pump's reader of the decoder's frame times.
struct TimesReader {
  socket_t listener;
  socket_t connection;  // kInvalidSocket: none (yet, or any more)
  FrameTimes times;
};

static void times_open(TimesReader* r, socket_t listener) {
  r->listener = listener;
  r->connection = kInvalidSocket;
  frame_times_init(&r->times);
}

// The time of the k-th frame (from 0), once its bytes have all arrived: the
// decoder wrote the frame's line before them, so it has arrived too and no
// read waits for it.
static int64_t times_of_frame(TimesReader* r, int64_t k) {
  if (k == 0 && r->listener != kInvalidSocket) r->connection = accept_decoder(r->listener, 0);
  if (r->connection == kInvalidSocket) return kNoPts;
  char text[1024];
  for (;;) {
    int32_t n = recv_now(r->connection, text, (int32_t)sizeof text);
    if (n <= 0) {
      if (n < 0) {
        // The decoder closed its end (it is ending): the frames' times are
        // over, and the frames that still come go out without them.
        close_socket(r->connection);
        r->connection = kInvalidSocket;
      }
      break;
    }
    frame_times_feed(&r->times, text, (size_t)n);
  }
  return frame_times_take(&r->times, k);
}

static void times_close(TimesReader* r) {
  if (r->connection != kInvalidSocket) close_socket(r->connection);
  r->connection = kInvalidSocket;
}

static int64_t timecode_of(int64_t pts) { return pts == kNoPts ? kTimecodeSynthesize : run_timecode(pts); }

static int64_t steady_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// The audio pump's hold, shared with the video sender, which tells it of each
// picture sent. gHold is set only while an audio pump runs.
static pthread_mutex_t gAudioLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t gAudioReady = PTHREAD_COND_INITIALIZER;  // a block came, a picture went out, or the end
static pthread_cond_t gAudioRoom = PTHREAD_COND_INITIALIZER;   // a block left the hold
static AudioHold* gHold;
static bool gAudioDone;

static void audio_picture_sent(int64_t pts) {
  pthread_mutex_lock(&gAudioLock);
  bool held = gHold != nullptr;
  if (held) audio_hold_picture_sent(gHold, pts);
  pthread_mutex_unlock(&gAudioLock);
  // Without audio nobody waits for it.
  if (held) pthread_cond_signal(&gAudioReady);
}

// The picture buffers start on a page boundary. A large malloc block starts 16
// bytes into a page, and the kernel's copy out of the socket into a destination
// that is misaligned against its page-aligned source runs at half speed: about
// 5 % of a core instead of 2 % for 1080p30 on the machines this was measured on.
enum { kPictureAlign = 4096, kPictureBuffers = 3 };

// The hand-over between the video pump, which receives, and its sender, which
// hands pictures to the runtime. Receiving never waits for a send: a live
// decoder that cannot write stops reading its source, and its audio starves
// with the video. Three buffers: one being received, one waiting (the newest
// whole picture), one being sent. A waiting picture is replaced by a newer one
// only while a send is under way, so nothing is dropped while the runtime keeps
// up; when the sender is merely slow to wake, the receiver waits for it to take
// the picture (a thread's wake-up, never a send).
struct HandOver {
  pthread_mutex_t lock;
  pthread_cond_t ready;   // a picture waits, or the receiving has ended
  pthread_cond_t taken;   // the sender took the waiting picture
  uint8_t* waiting;       // the newest whole picture not yet taken, or null
  int64_t waiting_pts;    // its time from the decoder, or kNoPts
  uint8_t* sending;       // the picture the runtime has, or null
  bool done;              // no more pictures will come
};

static void send_picture(const uint8_t* picture, int64_t pts) {
  qor_ndi_send_video_nv12(gSender, picture, gOpt.width, gOpt.height, gOpt.fps, 1, timecode_of(pts));
  gFrames.fetch_add(1);
  audio_picture_sent(pts);
  // After the send, so the monitor's copy (once per interval) never delays it.
  if (gOpt.monitor) monitor_offer(picture);
}

// Sends the waiting picture whenever there is one; after the end of receiving,
// the last one still waiting (it arrived whole, and no stop was asked for) and
// then ends.
static void* video_sender_thread(void* arg) {
  HandOver* h = (HandOver*)arg;
  pthread_mutex_lock(&h->lock);
  for (;;) {
    while (!h->waiting && !h->done) pthread_cond_wait(&h->ready, &h->lock);
    if (!h->waiting) break;
    if (gStopAsked.load() != 0) {
      // Once the controller has asked for the stop, a picture still waiting is
      // stale, and another send into a slow runtime would only hold the stop up.
      h->waiting = nullptr;
      pthread_cond_signal(&h->taken);
      continue;
    }
    uint8_t* picture = h->waiting;
    int64_t pts = h->waiting_pts;
    h->sending = picture;
    h->waiting = nullptr;
    pthread_cond_signal(&h->taken);
    pthread_mutex_unlock(&h->lock);
    // The send is synchronous: once it returns the runtime no longer reads
    // the buffer, which may then be received into again.
    send_picture(picture, pts);
    pthread_mutex_lock(&h->lock);
    h->sending = nullptr;
  }
  pthread_mutex_unlock(&h->lock);
  return nullptr;
}

// Hands a whole picture to the sender and returns the buffer to receive the
// next one into: a free one, or the older picture this one replaces.
static uint8_t* hand_over(HandOver* h, uint8_t* picture, int64_t pts, uint8_t* const* buffers) {
  pthread_mutex_lock(&h->lock);
  while (h->waiting && !h->sending) pthread_cond_wait(&h->taken, &h->lock);
  h->waiting = picture;
  h->waiting_pts = pts;
  uint8_t* next = nullptr;
  for (int i = 0; i < kPictureBuffers && !next; ++i) {
    if (buffers[i] != h->waiting && buffers[i] != h->sending) next = buffers[i];
  }
  pthread_mutex_unlock(&h->lock);
  // Signalled once the lock is free, so that the sender, once woken, does not
  // find it still held and sleep again on it.
  pthread_cond_signal(&h->ready);
  return next;
}

// Receives whole pictures until the connection ends or a stop is requested.
static void pump_pictures(socket_t s, TimesReader* times, uint8_t* const* buffers, uint64_t size) {
  HandOver h;
  pthread_mutex_init(&h.lock, nullptr);
  pthread_cond_init(&h.ready, nullptr);
  pthread_cond_init(&h.taken, nullptr);
  h.waiting = nullptr;
  h.waiting_pts = kNoPts;
  h.sending = nullptr;
  h.done = false;
  // Without a sender thread the pump sends each picture itself before it
  // receives the next: slower under a slow runtime, but sound.
  pthread_t sender;
  bool threaded = pthread_create(&sender, nullptr, video_sender_thread, &h) == 0;

  uint8_t* picture = buffers[0];
  for (int64_t k = 0; gStop.load() == 0; ++k) {
    if (!recv_full(s, picture, size)) break;  // closed or failed: a partial picture is dropped
    int64_t pts = times_of_frame(times, k);
    if (threaded) {
      picture = hand_over(&h, picture, pts, buffers);
    } else {
      send_picture(picture, pts);
    }
  }

  if (threaded) {
    pthread_mutex_lock(&h.lock);
    h.done = true;
    pthread_cond_signal(&h.ready);
    pthread_mutex_unlock(&h.lock);
    pthread_join(sender, nullptr);
  }
  pthread_cond_destroy(&h.taken);
  pthread_cond_destroy(&h.ready);
  pthread_mutex_destroy(&h.lock);
}

void* video_thread(void* arg) {
  const PumpChannel* channel = (const PumpChannel*)arg;
  TimesReader times;
  times_open(&times, channel->times_listener);
  // The buffers for the whole run, each a whole number of pages; each picture
  // goes to the runtime in place.
  uint64_t size = (uint64_t)gOpt.width * (uint64_t)gOpt.height * 3 / 2;
  uint64_t span = size <= UINT64_MAX - kPictureAlign ? (size + kPictureAlign - 1) / kPictureAlign * kPictureAlign : 0;
  bool fits = span > 0 && span <= (SIZE_MAX - kPictureAlign) / kPictureBuffers;
  uint8_t* block = fits ? (uint8_t*)malloc((size_t)span * kPictureBuffers + kPictureAlign) : nullptr;
  if (block) {
    uint8_t* first = block + (kPictureAlign - (uintptr_t)block % kPictureAlign) % kPictureAlign;
    uint8_t* buffers[kPictureBuffers];
    for (int i = 0; i < kPictureBuffers; ++i) buffers[i] = first + (size_t)span * i;
    pump_pictures(channel->data, &times, buffers, size);
    free(block);
    if (gStop.load() == 0) pump_ended();
  } else {
    pump_failed();
  }
  times_close(&times);
  pump_thread_ended();
  return nullptr;
}

// Sends each held block once it is due, in order; once the pump has ended, the
// blocks still held at once (none once the controller asked for the stop).
static void* audio_sender_thread(void*) {
  float block[kAudioBlockSamples * kAudioChannels];
  pthread_mutex_lock(&gAudioLock);
  for (;;) {
    while (gHold->count == 0 && !gAudioDone) pthread_cond_wait(&gAudioReady, &gAudioLock);
    if (gHold->count == 0) break;
    if (gStopAsked.load() != 0) {
      gHold->first = gHold->count = 0;
      pthread_cond_signal(&gAudioRoom);
      continue;
    }
    int64_t wait_us = 0;
    if (!gAudioDone && !audio_hold_due(gHold, steady_us(), &wait_us)) {
      // Short steps on the system clock the wait takes, so that a change of
      // that clock delays nothing by more than a step.
      if (wait_us > 20000) wait_us = 20000;
      timespec until = realtime_after_us(wait_us);
      pthread_cond_timedwait(&gAudioReady, &gAudioLock, &until);
      continue;
    }
    int64_t pts = audio_hold_pop(gHold, block);
    pthread_cond_signal(&gAudioRoom);
    pthread_mutex_unlock(&gAudioLock);
    qor_ndi_send_audio_interleaved(gSender, block, kAudioBlockSamples, kAudioChannels, kAudioRate, timecode_of(pts));
    if (gOpt.monitor) level_add_block(block, kAudioBlockSamples, kAudioChannels);
    pthread_mutex_lock(&gAudioLock);
  }
  pthread_mutex_unlock(&gAudioLock);
  return nullptr;
}

// Receives blocks into the hold until the connection ends or a stop is
// requested. Without a sender thread each block is sent at once, as it comes.
static void pump_blocks(socket_t s, TimesReader* times, AudioHold* hold) {
  pthread_mutex_lock(&gAudioLock);
  audio_hold_init(hold, gOpt.fps > 0 ? 1000000 / gOpt.fps : 40000);
  gHold = hold;
  gAudioDone = false;
  pthread_mutex_unlock(&gAudioLock);
  pthread_t sender;
  bool threaded = pthread_create(&sender, nullptr, audio_sender_thread, nullptr) == 0;

  float block[kAudioBlockSamples * kAudioChannels];
  for (int64_t k = 0; gStop.load() == 0; ++k) {
    if (!recv_full(s, (uint8_t*)block, kAudioBlockBytes)) break;
    int64_t pts = times_of_frame(times, k);
    if (!threaded) {
      qor_ndi_send_audio_interleaved(gSender, block, kAudioBlockSamples, kAudioChannels, kAudioRate,
                                     timecode_of(pts));
      if (gOpt.monitor) level_add_block(block, kAudioBlockSamples, kAudioChannels);
      continue;
    }
    pthread_mutex_lock(&gAudioLock);
    while (audio_hold_full(hold)) pthread_cond_wait(&gAudioRoom, &gAudioLock);
    audio_hold_push(hold, block, pts, steady_us());
    pthread_mutex_unlock(&gAudioLock);
    pthread_cond_signal(&gAudioReady);
  }

  pthread_mutex_lock(&gAudioLock);
  gAudioDone = true;
  pthread_mutex_unlock(&gAudioLock);
  pthread_cond_signal(&gAudioReady);
  if (threaded) pthread_join(sender, nullptr);
  pthread_mutex_lock(&gAudioLock);
  gHold = nullptr;
  pthread_mutex_unlock(&gAudioLock);
}

void* audio_thread(void* arg) {
  const PumpChannel* channel = (const PumpChannel*)arg;
  TimesReader times;
  times_open(&times, channel->times_listener);
  AudioHold* hold = (AudioHold*)malloc(sizeof(AudioHold));
  if (hold) {
    pump_blocks(channel->data, &times, hold);
    free(hold);
    if (gStop.load() == 0) pump_ended();
  } else {
    pump_failed();
  }
  times_close(&times);
  pump_thread_ended();
  return nullptr;
}
