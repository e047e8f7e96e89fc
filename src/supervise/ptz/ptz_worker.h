// The system host's PTZ workers: a thread per source whose receivers move its
// camera, sending what its queue (ptz_queue.h) gives, one call at a time, so
// that the loop never waits for a camera. Each command's result goes to the
// worker's sink (the host's hands it to the loop). ptz_worker.cpp.
#pragma once
#include <functional>

#include "ptz/ptz_queue.h"
#include "ptz_camera.h"
#include "text/json_line.h"

using PtzSink = std::function<void(PtzReport)>;

// A ptz line of the current run of the source known by key, for its camera
// at target. A worker is started for it, with sink, when it has none, or
// none for target. Throws when no thread can be started.
void ptz_workers_command(const void* key, const PtzTarget& target, const Json& event, const PtzSink& sink);
// Stops the camera of key's source if it may be moving; last: the run is
// over, and the worker ends once that is done.
void ptz_workers_stop(const void* key, bool last);
// At exit: every worker told to stop its camera and end, and waited for up
// to seconds in all; any still inside a call then is left to the exit.
void ptz_workers_end(double seconds);
