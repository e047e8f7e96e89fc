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

// Thread bodies; arg points to the accepted connection socket, held by the run
// sequence until it has joined the thread. Each ends when its connection ends
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
void* video_thread(void* arg);
void* audio_thread(void* arg);
