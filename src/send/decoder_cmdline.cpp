// The decoder's argument vector. The decoder is always asked for the same
// things: a low-latency RTSP read over TCP, the first video stream scaled to the
// requested size in NV12 and written raw to the video channel, and (unless audio
// is off) the first audio stream as 48 kHz stereo float, written raw to the
// audio channel. The frame rate is not passed: pictures keep the source's timing
// and the rate is only announced to NDI.
//
// Both outputs ask for tcp_nodelay: the decoder writes a picture in pieces of
// its I/O buffer, and with Nagle's algorithm the last, short piece waits for the
// acknowledgement of the ones before it. The video receive waits for the whole
// picture before it reads, so that acknowledgement only went out when the next
// picture's bytes arrived: every picture reached the runtime a frame late, and
// audio blocks up to 40 ms late.
//
// Each picture and each audio block also has its presentation time printed,
// on the timeline they share, to a channel of its own: the metadata filters at
// the end of each chain add a key to every frame and print the frame's number
// and time as a line ("frame:N pts:P pts_time:T"), unbuffered (direct) and with
// tcp_nodelay, so that a frame's line leaves before its bytes do. settb makes P
// microseconds in both chains. The audio chain resamples to 48 kHz stereo
// itself and cuts 480-sample blocks (asetnsamples), so that each printed line
// is one of the tool's blocks; the -ac and -ar after it then change nothing.
// In a filter's option the URL's colons are escaped twice: once for the chain,
// once for the option.
#include "decoder_cmdline.h"

#include <cstddef>
#include <cstdio>

#include "options.h"
#include "pumps.h"

// A chain (head) ending in the two metadata filters that print each frame's
// time to the channel at port; prefix is "a" for the audio filters.
static void with_times(char* out, size_t size, const char* head, const char* prefix, int32_t port) {
  snprintf(out, size,
           "%s,%smetadata=mode=add:key=q:value=1,%smetadata=mode=print:direct=1:"
           "file=tcp\\\\://127.0.0.1\\\\:%d?tcp_nodelay=1",
           head, prefix, prefix, (int)port);
}

void build_decoder_args(DecoderArgs* a, int32_t video_port, int32_t audio_port, int32_t video_times_port,
                        int32_t audio_times_port) {
  char head[96];
  snprintf(head, sizeof head, "scale=%d:%d,format=nv12,settb=AVTB", (int)gOpt.width, (int)gOpt.height);
  with_times(a->video_filters, sizeof a->video_filters, head, "", video_times_port);
  snprintf(head, sizeof head, "aresample=async=1:osr=%d:ochl=stereo,asetnsamples=n=%d:p=0,asettb=AVTB",
           (int)kAudioRate, (int)kAudioBlockSamples);
  with_times(a->audio_filters, sizeof a->audio_filters, head, "a", audio_times_port);
  snprintf(a->video_url, sizeof a->video_url, "tcp://127.0.0.1:%d?tcp_nodelay=1", (int)video_port);
  // The audio texts are formatted even without audio so the record is always
  // complete; the vector simply does not refer to them then.
  snprintf(a->audio_url, sizeof a->audio_url, "tcp://127.0.0.1:%d?tcp_nodelay=1", (int)audio_port);
  snprintf(a->audio_rate, sizeof a->audio_rate, "%d", (int)kAudioRate);

  const char* const video[kDecoderArgsWithoutAudio] = {
      gOpt.ffmpeg,   "-hide_banner",      "-nostdin",  "-loglevel", "warning",
      "-rtsp_transport", "tcp",           "-fflags",   "nobuffer",  "-flags",
      "low_delay",   "-probesize",        "2000000",   "-analyzeduration", "3000000",
      "-i",          gOpt.input,          "-map",      "0:v:0",     "-vf",
      a->video_filters, "-fps_mode",         "passthrough", "-enc_time_base:v", "1:90000",
      "-f",          "rawvideo",          a->video_url};
  const char* const audio[kDecoderArgsWithAudio - kDecoderArgsWithoutAudio] = {
      "-map", "0:a:0", "-af", a->audio_filters, "-ac", "2",
      "-ar",  a->audio_rate, "-f", "f32le", a->audio_url};

  int n = 0;
  for (const char* e : video) a->argv[n++] = e;
  if (gOpt.audio) {
    for (const char* e : audio) a->argv[n++] = e;
  }
  a->argv[n] = nullptr;
  a->argc = n;
}
