#include "soap_call.h"

#include <httplib.h>

#include <algorithm>
#include <cstdlib>

#include "bounded_client.h"
#include "http_digest.h"

bool http_address_read(const std::string& url, HttpAddress* out) {
  static const char kScheme[] = "http://";
  if (url.size() > 2048 || url.compare(0, sizeof kScheme - 1, kScheme) != 0) return false;
  size_t start = sizeof kScheme - 1;
  size_t slash = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
  HttpAddress a;
  a.path = slash == std::string::npos ? "/" : url.substr(slash);
  if (a.path[0] != '/') a.path = "/" + a.path;
  if (authority.find('@') != std::string::npos) return false;  // credentials in an address are not ours to use
  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    a.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      port = authority.substr(close + 2);
    }
  } else {
    size_t colon = authority.find(':');
    a.host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
  }
  if (a.host.empty() || a.host.find_first_of(" \t\r\n") != std::string::npos) return false;
  if (!port.empty()) {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    a.port = std::atoi(port.c_str());
    if (a.port < 1 || a.port > 65535) return false;
  }
  *out = a;
  return true;
}

std::string http_address_text(const HttpAddress& a) {
  std::string host = a.host.find(':') != std::string::npos ? "[" + a.host + "]" : a.host;
  return "http://" + host + (a.port == 80 ? std::string() : ":" + std::to_string(a.port)) + a.path;
}

// Each text follows "<call> at <address>: ".
static std::string error_text(httplib::Error e) {
  switch (e) {
    case httplib::Error::Connection: return "no connection could be made";
    case httplib::Error::ConnectionTimeout: return "the connection was not accepted in time";
    case httplib::Error::Read: return "the answer could not be read whole";
    case httplib::Error::Write: return "the request could not be sent";
    case httplib::Error::Canceled: return "the answer was too large or too slow";
    default: return "the request failed (" + httplib::to_string(e) + ")";
  }
}

CallOutcome soap_call(const std::string& url, const std::function<std::string()>& make_body,
                      const std::string& action_uri, const Credentials* http_credentials,
                      std::chrono::steady_clock::time_point deadline) {
  CallOutcome out;
  HttpAddress addr;
  if (!http_address_read(url, &addr)) {
    out.why = "its service address is not an http:// address";
    return out;
  }
  std::string authorization;
  for (int attempt = 0; attempt < 2; attempt++) {
    auto now = std::chrono::steady_clock::now();
    auto left = std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::seconds(5));
    if (left <= std::chrono::milliseconds(10)) {
      out.why = "no answer within the time one camera is given";
      return out;
    }
    auto call_end = now + left;
    std::string body = make_body();
    if (body.empty()) {
      out.why = "the system gave no random nonce";
      return out;
    }
    // The whole answer by call_end, however it trickles.
    BoundedClient client(addr.host, addr.port, call_end);

    httplib::Request req;
    req.method = "POST";
    req.path = addr.path;
    req.body = body;
    req.set_header("Content-Type", "application/soap+xml; charset=utf-8; action=\"" + action_uri + "\"");
    if (!authorization.empty()) req.set_header("Authorization", authorization);
    std::string received;
    bool too_large = false;
    req.content_receiver = [&](const char* data, size_t n, uint64_t, uint64_t) {
      if (received.size() + n > kOnvifMaxAnswerBytes) {
        too_large = true;
        return false;
      }
      received.append(data, n);
      return true;
    };
    httplib::Response res;
    httplib::Error err = httplib::Error::Success;
    if (!client.send(req, res, err)) {
      if (too_large) {
        out.why = "the answer is larger than 1 MiB";
      } else if (client.head_too_large()) {
        out.why = "the answer's header is larger than " + std::to_string(kAnswerHeadMost / 1024) + " KiB";
      } else if (client.timed_out()) {
        out.why = "no whole answer within " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                                                   left + std::chrono::milliseconds(500)).count()) +
                  " s";
      } else {
        out.why = error_text(err);
      }
      return out;
    }
    out.answered = true;
    if (res.status == 401 && attempt == 0 && http_credentials) {
      std::vector<std::string> challenges;
      auto range = res.headers.equal_range("WWW-Authenticate");
      for (auto it = range.first; it != range.second; ++it) challenges.push_back(it->second);
      DigestChallenge c;
      if (digest_challenge_pick(challenges, &c)) {
        authorization =
            digest_authorization(c, http_credentials->user, http_credentials->password, "POST", addr.path);
        if (authorization.empty()) {
          out.why = "the system gave no random nonce";
          return out;
        }
        out.digest_sent = true;
        continue;
      }
    }
    std::string why;
    OnvifAnswerPtr answer = received.empty() ? nullptr : onvif_answer_read(received, &why);
    if (answer) {
      OnvifFault f = onvif_fault(*answer);
      if (f.present) {
        // Some cameras send the refusal with HTTP 400, others 401 or 500: the
        // fault's code tells, whatever the status.
        out.fault = f;
        out.refused = f.not_authorized;
        out.why = f.not_authorized ? "the user name or password was refused"
                                   : "a fault" + (f.text.empty() ? "" : ": " + f.text);
        return out;
      }
    }
    if (res.status == 401) {
      out.refused = http_credentials != nullptr;
      out.why = http_credentials ? "the user name or password was refused" : "it asks for a user name and password";
      return out;
    }
    if (res.status != 200) {
      out.why = "HTTP " + std::to_string(res.status);
      return out;
    }
    if (!answer) {
      out.why = received.empty() ? "the answer is empty" : why;
      return out;
    }
    out.answer = std::move(answer);
    return out;
  }
  out.why = "the user name or password was refused";
  out.refused = true;
  return out;
}
