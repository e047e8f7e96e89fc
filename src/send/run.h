// The whole run on the main thread: settings, NDI, listeners, decoder, pumps,
// shutdown. Returns the process exit code.
#pragma once
int run(int argc, char** argv);
