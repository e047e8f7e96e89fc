#include "run.h"

#include <pthread.h>

#include "console.h"
#include "control.h"
#include "decoder_cmdline.h"
#include "events.h"
#include "monitor.h"
#include "net.h"
#include "options.h"
#include "peer.h"
#include "process.h"
#include "ptz.h"
#include "pumps.h"
#include "qor_ndi.h"
#include "startup.h"

// Failure paths end the process at once: the decoder goes with it (it is bound
// to the tool), and sockets and the NDI runtime are released by process exit.
int run(int argc, char** argv) {
  startup_init();
  if (!parse_options(argc, argv)) {
    usage();
    return 64;
  }
  console_init();
  net_startup();

  if (const char* message = qor_ndi_load()) {
    event_error_ndi_runtime(message);
    return 2;
  }
  gSender = qor_ndi_sender_create(gOpt.name);
  if (!gSender) {
    event_error_ndi_sender();
    return 2;
  }
  // Receivers learn on connecting that the source takes PTZ commands; a
  // runtime that cannot hand their metadata over offers nothing.
  bool ptz_offered = gOpt.ptz && qor_ndi_sender_offer_ptz(gSender);

  // The raw pictures and sound, and the channels of their times, which the
  // decoder connects only once its first frame is through (the pumps take them
  // then, if they come at all).
  int32_t video_port = 0, audio_port = 0, video_times_port = 0, audio_times_port = 0;
  socket_t video_listener = listen_local(&video_port);
  socket_t audio_listener = gOpt.audio ? listen_local(&audio_port) : kInvalidSocket;
  socket_t video_times = listen_local(&video_times_port);
  socket_t audio_times = gOpt.audio ? listen_local(&audio_times_port) : kInvalidSocket;
  if (video_listener == kInvalidSocket || video_times == kInvalidSocket ||
      (gOpt.audio && (audio_listener == kInvalidSocket || audio_times == kInvalidSocket))) {
    event_error_socket();
    return 3;
  }

  DecoderArgs args;
  build_decoder_args(&args, video_port, audio_port, video_times_port, audio_times_port);
  if (!start_child(args.argv)) {
    event_error_ffmpeg_spawn(gOpt.ffmpeg);
    return 3;
  }

  // Without the stop watcher the controller could never stop the run, so a
  // watcher that cannot start ends the run as a failed decoder start.
  pthread_t watcher;
  if (pthread_create(&watcher, nullptr, stdin_thread, nullptr) != 0) {
    terminate_child();
    wait_child();
    event_error_ffmpeg_spawn(gOpt.ffmpeg);
    return 3;
  }
  pthread_detach(watcher);

  // Only the decoder (or a process it started) may feed a channel; any other
  // connection is closed and the channel's own 30 s go on.
  PumpChannel video = {accept_decoder(video_listener), video_times};
  PumpChannel audio = {gOpt.audio ? accept_decoder(audio_listener) : kInvalidSocket, audio_times};
  close_socket(video_listener);
  if (gOpt.audio) close_socket(audio_listener);
  if (video.data == kInvalidSocket || (gOpt.audio && audio.data == kInvalidSocket)) {
    terminate_child();
    event_error_ffmpeg_connect(wait_child());
    qor_ndi_sender_destroy(gSender);
    return 3;
  }

  // The pumps start before the started line is written: a stdout that nobody
  // reads must not hold the pictures back while that line waits for room. The
  // reporter starts after it, so that started stays the first line.
  // A pump or the reporter that cannot start ends the run: the decoder is
  // terminated and the run shuts down as one that ended without a request.
  // The monitor picture is a by-product: a run whose monitor cannot start
  // goes on without it.
  if (gOpt.monitor) monitor_start();
  pthread_t video_pump, audio_pump, reporter;
  bool video_ok = pthread_create(&video_pump, nullptr, video_thread, &video) == 0;
  bool audio_ok = gOpt.audio && pthread_create(&audio_pump, nullptr, audio_thread, &audio) == 0;
  event_started(gOpt.name, gOpt.width, gOpt.height, gOpt.audio, qor_ndi_version());
  bool reporter_ok = pthread_create(&reporter, nullptr, status_thread, nullptr) == 0;
  // After started, so that no ptz line comes before it. Like the monitor, a
  // listener that cannot start leaves the run going without it.
  pthread_t ptz;
  bool ptz_ok = ptz_offered && pthread_create(&ptz, nullptr, ptz_thread, nullptr) == 0;
  bool all_started = video_ok && (audio_ok || !gOpt.audio) && reporter_ok;
  if (!all_started) terminate_child();

  uint32_t code = wait_child();
  // "requested" is whether a stop was asked for first; from here on the stop
  // flag is set whoever set it. A signal that also reached the decoder (a whole
  // group or service stopped at once) may end it before the watcher has taken
  // the signal: still a requested stop. A pump that could not work ended the
  // decoder: never a requested stop.
  bool signalled = console_stop_signalled();
  bool requested = (request_stop() || signalled) && all_started && gPumpFailed.load() == 0;
  int exit_code = requested ? 0 : 1;

  // The decoder's exit closes its ends, but anything else holding them (a
  // process it started that outlives it) must not keep a pump waiting: both
  // are woken, and the connections closed once the pumps have let go. A pump
  // whose sender is still inside the runtime after the stop's budget holds the
  // runtime and its connection: neither can be released while it may still be
  // used, so the run writes its exit line and ends the process instead. The
  // PTZ listener uses the sender too and is waited for alike.
  wake_socket(video.data);
  if (gOpt.audio) wake_socket(audio.data);
  bool pumps_ended = wait_pumps_end((video_ok ? 1 : 0) + (audio_ok ? 1 : 0) + (ptz_ok ? 1 : 0));
  if (pumps_ended) {
    if (video_ok) pthread_join(video_pump, nullptr);
    if (audio_ok) pthread_join(audio_pump, nullptr);
    if (ptz_ok) pthread_join(ptz, nullptr);
    close_socket(video.data);
    close_socket(video_times);
    if (gOpt.audio) {
      close_socket(audio.data);
      close_socket(audio_times);
    }
  } else {
    // The one still inside the runtime, and those that ended beside it, are
    // left to the end of the process.
    if (video_ok) pthread_detach(video_pump);
    if (audio_ok) pthread_detach(audio_pump);
    if (ptz_ok) pthread_detach(ptz);
  }
  // A reporter still blocked in a write nobody reads is left behind (it no
  // longer touches the sender): the run ends within a bound whatever the
  // reader does. It holds the output, so the exit line could not get out
  // either and is not tried.
  bool output_held = false;
  if (reporter_ok) {
    output_held = !wait_status_end();
    if (output_held) pthread_detach(reporter);
    else pthread_join(reporter, nullptr);
  }
  // Nothing sends a picture any more: the monitor's writer may end.
  monitor_stop();
  if (!pumps_ended) {
    if (ptz_ok) event_ptz_close();
    if (!output_held) event_exit(code, requested);
    console_end_now(exit_code);
  }
  qor_ndi_sender_destroy(gSender);
  if (!output_held) event_exit(code, requested);
  return exit_code;
}
