// Each source's picture: its tool writes it (--monitor) into a folder only
// the supervisor uses, and the loop reads it back for the status server.
// pictures.cpp.
#pragma once
#include <cstdint>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <string>

enum { kPictureMaxBytes = 1 << 20 };  // a larger file is not a picture of ours

// Chooses the folder: folder when given (a Windows service's own, made when
// missing and removed by pictures_close), else the runtime directory systemd
// made for the service ($RUNTIME_DIRECTORY), else a new folder under the
// system's temporary folder, readable by this user only, which pictures_close
// removes. False with *why when none can be had: the tools then run without
// pictures.
bool pictures_open(std::string* why, const std::string& folder = std::string());

// The file for the source numbered n (a number, never the source's name, which
// may hold anything), or empty when there is no folder.
std::string pictures_file(uint64_t n);

// The source is gone: its picture and any temporary file beside it too.
void pictures_remove(const std::string& file);

// At the end: the folder, if it was made here.
void pictures_close();

// What the loop knows of one source's picture file. Only a hash of it is
// kept: the server reads the file itself for each request, so that sixteen
// pictures do not sit in the supervisor's memory.
struct PictureSeen {
  bool any = false;                           // a picture has been seen
  std::filesystem::file_time_type written{};  // the write time of the file last hashed
  uint64_t hash = 0;                          // of its content
};

// Hashes file again if it has been written since *seen: true when *seen now
// describes a new picture (perhaps the same content: compare the hash).
bool pictures_look(const std::string& file, PictureSeen* seen);

// The picture in file opened for an answer, with its size; null when there is
// none. On POSIX systems it stays whole while its tool replaces the file (a
// rename leaves an open file as it was); on Windows the tool's replace fails
// while it is open, and the tool writes the next picture instead.
std::shared_ptr<FILE> pictures_open_file(const std::string& file, size_t* size);

// The address the picture is served at, /picture?name=NAME, the name with
// every byte but letters, digits and -._~ percent-encoded. The name is in the
// query, not the path: a browser removes the dot segments of a path, so the
// pictures of sources named . or .. (or %2e) would never be asked for.
std::string pictures_url(const std::string& name);
