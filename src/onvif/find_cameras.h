// qor-ndi-supervise --find-cameras [--wait SECONDS] [--user USER] [ADDRESS...]
//
// Finds the ONVIF cameras on the local networks (a WS-Discovery Probe out of
// every interface), or asks the given addresses (host or host:port) directly,
// and writes one JSON line per camera on stdout. With --user, the password is
// the first line of stdin, and each camera is asked for its clock offset and
// its profiles with their stream and snapshot addresses.
#pragma once
#include <string>
#include <vector>

// args from "--find-cameras" on. Exit code: 0 when the search ran (whatever it
// found), 1 when no interface could be used, 64 for usage.
int find_cameras_main(const std::vector<std::string>& args);
