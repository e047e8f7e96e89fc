// What a failed camera check tells an operator: the reason, from the
// decoder's own words and how its run ended, and words for each reason. Pure
// text work, so that it is tested on the decoder's real messages
// (check_reason.cpp); camera_check.h runs the decoder.
#pragma once
#include <string>

// The reasons, as the API and the status name them.
//   auth         the camera refused the user name or password (401)
//   not_found    no stream at that path (404)
//   unreachable  connection refused, no route to the host
//   timeout      nothing answered in time
//   no_name      the host name does not resolve
//   no_video     the stream has no video
//   not_rtsp     the address is not rtsp:// or rtsps:// (no decoder run)
//   other        anything else: the detail says what

// The reason of a decoder run that failed: its stderr text, and whether it was
// ended at the check's deadline.
std::string check_reason(const std::string& decoder_text, bool timed_out);

// Words for an operator for a reason.
std::string check_words(const std::string& reason);

// The decoder's text as a detail: its lines without the "[rtsp @ 0x...]"
// prefixes, once each, joined by " / ", at most 512 bytes, with the address
// and its password masked wherever they appear.
std::string check_detail(const std::string& decoder_text, const std::string& input);

// text with input and the password in its userinfo (as written and decoded)
// replaced: the address by its masked form, the password by ***.
std::string check_mask(const std::string& text, const std::string& input);

// The ffprobe beside an ffmpeg: the same folder, the same .exe ending.
std::string check_probe_program(const std::string& ffmpeg);
