// The camera searches the status page asks for (POST /api/cameras): the ONVIF
// client's search (find_cameras.h) by multicast, at given addresses with the
// user and password given, or at the camera a source was found on with the
// ones stored for it, which go nowhere else. One search at a time, run and
// kept as kept_work.h keeps the page's work. camera_search.cpp.
#pragma once
#include <string>

#include "text/json_line.h"

constexpr size_t kSearchAddressesMost = 8;  // addresses in one request
constexpr int kSearchRetrySeconds = 5;      // what a 429 asks to wait

// Where a search tells who searched and how many answered (never a password).
void camera_search_init(void (*log)(const std::string& line));

// POST /api/cameras: {"addresses": ["host[:port]", ...], "user": U,
// "password": P} (no addresses: the multicast search; no user: the cameras
// are not asked for their profiles) or {"source": NAME}. 202 {"id": ID} once
// the search has started; 400 for another body; the source's 404 or 422; 429
// while a search runs; 503 when none can start.
ApiAnswer camera_search_post(const std::string& body, const std::string& client);

// GET /api/cameras?id=: {"state": "running"} or {"cameras": [...]}, the
// objects --find-cameras writes, by address; 404 for an id not kept.
ApiAnswer camera_search_get(const std::string& id);
