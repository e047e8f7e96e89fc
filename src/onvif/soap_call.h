// One SOAP call over plain HTTP (cpp-httplib's client): the answer bounded in
// size and time, an HTTP 401 with a Digest challenge answered once, and a
// refusal of the user name or password told apart from every other failure.
#pragma once
#include <chrono>
#include <functional>
#include <string>

#include "answers.h"

struct HttpAddress {
  std::string host;  // a name, an IPv4 address, or an IPv6 address without brackets
  int port = 80;
  std::string path;  // from its "/", query included
};

// Reads an http:// address; false for anything else (https is not spoken).
bool http_address_read(const std::string& url, HttpAddress* out);
std::string http_address_text(const HttpAddress& a);

struct Credentials {
  std::string user, password;
};

struct CallOutcome {
  OnvifAnswerPtr answer;  // null on failure
  OnvifFault fault;       // a fault the camera answered with (answer then null)
  bool refused = false;   // the camera refused the user name or password
  bool answered = false;     // an HTTP answer came, whatever it held
  bool digest_sent = false;  // the credentials went out with HTTP Digest
  std::string why;           // for people, when answer is null: what follows "<call> at <address>: "
};

// Posts what make_body writes (called again for the Digest retry, so that a
// WS-Security nonce is never sent twice) to url, with the action's URI in the
// content type. The whole exchange takes at most 5 s, and never runs past
// deadline.
CallOutcome soap_call(const std::string& url, const std::function<std::string()>& make_body,
                      const std::string& action_uri, const Credentials* http_credentials,
                      std::chrono::steady_clock::time_point deadline);
