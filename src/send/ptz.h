// PTZ from receivers (--ptz): ptz_thread takes what receivers send to the
// sender, reads the PTZ commands in it and writes each as a ptz line, at the
// pace ptz_rate.h allows.
#pragma once

// The capture's wait while no line is held: the thread sees a stop within it.
enum { kPtzCaptureWaitMs = 100 };

// Started by the run after the started line, once the sender offers PTZ
// (qor_ndi_sender_offer_ptz). Runs until gStop is set, then writes every value
// still held and returns, reporting its end as the pumps do
// (pump_thread_ended), so that the run joins it before destroying the sender.
void* ptz_thread(void* arg);
