#include "check/check_reason.h"

#include <vector>

#include "text/address.h"
#include "text/ascii.h"

namespace {

bool has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

std::string check_reason(const std::string& decoder_text, bool timed_out) {
  std::string t = ascii_lower(decoder_text);
  if (has(t, "401 unauthorized") || has(t, "authorization failed")) return "auth";
  if (has(t, "404 not found")) return "not_found";
  if (has(t, "failed to resolve hostname") || has(t, "name or service not known") ||
      has(t, "temporary failure in name resolution")) {
    return "no_name";
  }
  if (has(t, "connection refused") || has(t, "no route to host") || has(t, "network is unreachable") ||
      has(t, "host is unreachable")) {
    return "unreachable";
  }
  if (has(t, "matches no streams")) return "no_video";
  // Ours at the deadline, or the decoder's own.
  if (timed_out || has(t, "timed out")) return "timeout";
  return "other";
}

std::string check_words(const std::string& reason) {
  if (reason == "auth") return "The camera refused the user name or password.";
  if (reason == "not_found") return "The camera answered, but has no stream at that path.";
  if (reason == "unreachable") return "Nothing accepts connections at that address and port (refused, or no route).";
  if (reason == "timeout") return "Nothing answered within 10 seconds: a wrong address or port, or a firewall.";
  if (reason == "no_name") return "The host name does not resolve: check its spelling and the DNS.";
  if (reason == "no_video") return "The stream has no video.";
  if (reason == "not_rtsp") return "The address must start with rtsp:// or rtsps://.";
  return "The camera could not be read; the decoder's message says why.";
}

std::string check_mask(const std::string& text, const std::string& input) {
  std::string out = text;
  std::string masked = mask_input(input);
  if (masked != input) out = replace_all(out, input, masked);
  return mask_password(out, input);
}

std::string check_detail(const std::string& decoder_text, const std::string& input) {
  std::vector<std::string> seen;
  std::string out;
  size_t at = 0;
  while (at < decoder_text.size()) {
    size_t end = decoder_text.find('\n', at);
    if (end == std::string::npos) end = decoder_text.size();
    std::string line = decoder_text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line[0] == '[') {
      size_t close = line.find("] ");
      if (close != std::string::npos) line.erase(0, close + 2);
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty() || ascii_lower(line).compare(0, 17, "to ignore this, a") == 0) continue;
    bool again = false;
    for (const std::string& s : seen) again = again || s == line;
    if (again) continue;
    seen.push_back(line);
    out += (out.empty() ? "" : " / ") + line;
  }
  out = check_mask(out, input);
  if (out.size() > 512) {
    out.resize(509);
    // Not in the middle of a UTF-8 sequence.
    while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
    if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0) out.pop_back();
    out += "...";
  }
  return out;
}

std::string check_probe_program(const std::string& ffmpeg) {
  size_t slash = ffmpeg.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? std::string() : ffmpeg.substr(0, slash + 1);
  std::string name = ascii_lower(slash == std::string::npos ? ffmpeg : ffmpeg.substr(slash + 1));
  bool exe = name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0;
  return folder + (exe ? "ffprobe.exe" : "ffprobe");
}
