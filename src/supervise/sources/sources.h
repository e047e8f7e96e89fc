// The sources file: what the supervisor runs, read and checked whole before
// anything starts or changes. sources.cpp.
#pragma once
#include <string>
#include <vector>

#include "ptz_camera.h"
#include "text/json_line.h"

enum {
  kSourcesMaxBytes = 1 << 20,  // a larger file is refused
  kSourcesMaxDepth = 16,       // so is one nested deeper
  kNameMaxBytes = 256,         // a longer name is refused: every line carries it
  kOnvifTextMaxBytes = 2048,   // each of a source's ONVIF member's strings, at most
};

// What a reload compares: the tool's command line, the stall limit, whether
// the source runs at all, and the camera its receivers move.
struct SourceSettings {
  std::vector<std::string> argv;  // tool --input <input> --name <name> <args...> [--ptz]
  double stall = 0.0;             // seconds without pictures before a restart; 0: off
  bool enabled = true;            // false: kept in the file, not run (state "off")
  bool ptz = false;               // its receivers' PTZ commands move the camera (argv has --ptz)
  PtzTarget camera;               // with ptz: its onvif device and profile, its user and password
  bool operator==(const SourceSettings& o) const {
    return argv == o.argv && stall == o.stall && enabled == o.enabled && ptz == o.ptz && camera == o.camera;
  }
};

// The ONVIF camera a source was found on, as the page found it; empty
// strings where the file names none. Not the tool's: a change of it alone
// restarts nothing.
struct SourceOnvif {
  std::string device;    // its device service, http://
  std::string endpoint;  // its WS-Discovery endpoint (urn:uuid:...), which outlives a change of address
  std::string profile;   // the token of the profile the source's stream is
};

struct SourceEntry {
  std::string name;
  SourceSettings settings;
  std::string masked_input;  // the input as the status shows it
  SourceOnvif onvif;
};

// The sources of the file at path, in file order, and with tool the tool it
// names. False with *why (a message for people, without the program's name)
// when the file cannot be used.
bool sources_load(const std::string& path, std::vector<SourceEntry>* out, std::string* why,
                  std::string* tool = nullptr);

// sources_parse that also gives the file's JSON, whose sources are *out in order.
bool sources_parse_json(const std::string& bytes, const std::string& path, Json* config,
                        std::vector<SourceEntry>* out, std::string* why, std::string* tool = nullptr);

// sources_parse for a file's JSON as parsed: what the page's editor checks a
// change by, without writing it out and parsing it again.
bool sources_read_json(const Json& config, const std::string& path, std::vector<SourceEntry>* out,
                       std::string* why, std::string* tool = nullptr);

// The file's bytes, at most kSourcesMaxBytes. False with *why when it cannot be read.
bool sources_read(const std::string& path, std::string* out, std::string* why);

// sources_load for the file's bytes; path only names the file in messages.
bool sources_parse(const std::string& bytes, const std::string& path, std::vector<SourceEntry>* out,
                   std::string* why, std::string* tool = nullptr);
