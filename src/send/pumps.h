// The media pumps: whole pictures and whole audio blocks from the decoder's
// connections into the sender.
#pragma once
#include <cstddef>
#include <cstdint>
#include "net.h"

enum { kAudioBlockSamples = 480, kAudioChannels = 2, kAudioRate = 48000,
       kAudioBlockBytes = kAudioBlockSamples * kAudioChannels * 4 };

// Receives exactly len bytes into buf, in pieces that fit a signed 32-bit
// length. False when the peer closed or an error came first.
bool recv_full(socket_t s, uint8_t* buf, uint64_t len);

// What a pump reads: the accepted connection of its raw bytes, held by the run
// sequence until it has joined the thread, and the listener the decoder may
// connect to with the frames' times (kInvalidSocket: none asked for). The
// decoder connects that channel before it writes the first frame, so a pump
// that has received its first frame takes the connection if there is one, and
// otherwise goes on without times, as with a decoder that gives none.
struct PumpChannel {
  socket_t data;
  socket_t times_listener;
};

// Thread bodies; arg points to the PumpChannel. Each ends when its connection ends
// or fails, or between two pictures (blocks) once gStop is set; the run wakes
// a pump blocked in a receive (wake_socket) and closes the connection itself
// after the join, so that no wake-up can reach a number the system has handed
// out again.
//
// The video pump receives into its own buffers and a sender thread of its own
// hands the newest whole picture to the runtime, so a slow send never holds
// the decoder back: a picture still waiting when a newer one arrives during a
// send is dropped, and none while the runtime keeps up. gFrames counts the
// pictures sent. The pump ends its sender (after the last whole picture
// waiting, unless gStopAsked is set) before it returns, and each pump calls
// pump_thread_ended as it returns.
//
// With times, each picture and audio block goes out with its timecode on the
// run's clock, and the audio pump holds each block until its picture has gone
// out (at most 100 ms), on a sender thread of its own, which it ends the same
// way.
void* video_thread(void* arg);
void* audio_thread(void* arg);
