// HTTP Digest (RFC 7616, MD5 or SHA-256, qop "auth" or none), for cameras
// that answer 401 with a Digest challenge instead of reading WS-Security.
#pragma once
#include <string>
#include <vector>

struct DigestChallenge {
  std::string realm, nonce, opaque, algorithm, qop;
};

// The best Digest challenge among the WWW-Authenticate values (SHA-256 over
// MD5); false when none is one we can answer.
bool digest_challenge_pick(const std::vector<std::string>& www_authenticate, DigestChallenge* out);

// The Authorization header's value for one request; empty when the system
// gives no random client nonce.
std::string digest_authorization(const DigestChallenge& c, const std::string& user, const std::string& password,
                                 const std::string& method, const std::string& uri);
