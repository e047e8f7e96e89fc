// Inside the NDI module: the process-wide runtime state shared by the loader
// and the sender, the sender record, and two hooks for the module's own tests.
// The rest of the tool includes qor_ndi.h only.
#pragma once
#include <cstdint>

#include "qor_ndi_abi.h"

// Handle of the loaded runtime library; null until a load succeeds.
extern void* gLib;
// The runtime's function table; null until loaded. Written once by the main
// thread before any other thread starts, then only read.
extern const NDIlib_v6* gNDI;

struct qor_ndi_sender {
  NDIlib_send_instance_t instance;  // from the runtime's send_create
  float* planar;                    // scratch for de-interleaved audio, may be null
  uint64_t planar_capacity;         // floats that planar can hold (0 at first)
};

enum { kNdiCandidateSize = 1024 };

// The directory candidate "<dir><separator><runtime file>" in buf, cut to
// kNdiCandidateSize - 1 bytes when longer. An empty dir gives "<separator><file>".
void qor_ndi_dir_candidate(char (&buf)[kNdiCandidateSize], const char* dir);

// Test only: unloads the runtime (when loaded) and forgets it, so that one test
// process can load again under other settings. The tool never calls it.
void qor_ndi_reset_for_tests();
