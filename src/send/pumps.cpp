#include "pumps.h"

#include <pthread.h>

#include <cstdint>
#include <cstdlib>

#include "control.h"
#include "level.h"
#include "monitor.h"
#include "options.h"
#include "qor_ndi.h"

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
  uint8_t* sending;       // the picture the runtime has, or null
  bool done;              // no more pictures will come
};

static void send_picture(const uint8_t* picture) {
  qor_ndi_send_video_nv12(gSender, picture, gOpt.width, gOpt.height, gOpt.fps, 1);
  gFrames.fetch_add(1);
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
    h->sending = picture;
    h->waiting = nullptr;
    pthread_cond_signal(&h->taken);
    pthread_mutex_unlock(&h->lock);
    // The send is synchronous: once it returns the runtime no longer reads
    // the buffer, which may then be received into again.
    send_picture(picture);
    pthread_mutex_lock(&h->lock);
    h->sending = nullptr;
  }
  pthread_mutex_unlock(&h->lock);
  return nullptr;
}

// Hands a whole picture to the sender and returns the buffer to receive the
// next one into: a free one, or the older picture this one replaces.
static uint8_t* hand_over(HandOver* h, uint8_t* picture, uint8_t* const* buffers) {
  pthread_mutex_lock(&h->lock);
  while (h->waiting && !h->sending) pthread_cond_wait(&h->taken, &h->lock);
  h->waiting = picture;
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
static void pump_pictures(socket_t s, uint8_t* const* buffers, uint64_t size) {
  HandOver h;
  pthread_mutex_init(&h.lock, nullptr);
  pthread_cond_init(&h.ready, nullptr);
  pthread_cond_init(&h.taken, nullptr);
  h.waiting = nullptr;
  h.sending = nullptr;
  h.done = false;
  // Without a sender thread the pump sends each picture itself before it
  // receives the next: slower under a slow runtime, but sound.
  pthread_t sender;
  bool threaded = pthread_create(&sender, nullptr, video_sender_thread, &h) == 0;

  uint8_t* picture = buffers[0];
  while (gStop.load() == 0) {
    if (!recv_full(s, picture, size)) break;  // closed or failed: a partial picture is dropped
    if (threaded) {
      picture = hand_over(&h, picture, buffers);
    } else {
      send_picture(picture);
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
  socket_t s = *(socket_t*)arg;
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
    pump_pictures(s, buffers, size);
    free(block);
    if (gStop.load() == 0) pump_ended();
  } else {
    pump_failed();
  }
  pump_thread_ended();
  return nullptr;
}

void* audio_thread(void* arg) {
  socket_t s = *(socket_t*)arg;
  float block[kAudioBlockSamples * kAudioChannels];
  while (gStop.load() == 0) {
    if (!recv_full(s, (uint8_t*)block, kAudioBlockBytes)) break;
    qor_ndi_send_audio_interleaved(gSender, block, kAudioBlockSamples, kAudioChannels, kAudioRate);
    if (gOpt.monitor) level_add_block(block, kAudioBlockSamples, kAudioChannels);
  }
  if (gStop.load() == 0) pump_ended();
  pump_thread_ended();
  return nullptr;
}
