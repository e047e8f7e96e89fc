// The requests we send: SOAP 1.2 envelopes written with pugixml, so that every
// value (a user name, a profile token a camera gave) is escaped as XML needs.
#pragma once
#include <cstdint>
#include <string>

#include "utc_text.h"  // utc_text: the time in the form WS-Security and the cameras use

namespace pugi {
class xml_document;
class xml_node;
}  // namespace pugi

struct UsernameToken {
  std::string user, password;
  int64_t camera_offset = 0;  // the camera's clock minus ours, in seconds
};

// The WS-Discovery Probe for network video transmitters, with its message id.
std::string probe_request(const std::string& message_id);

// A device or media request: body_xml is the body's one element, written by
// the functions below. With token, a WS-Security header with a password
// digest: Base64(SHA-1(nonce + created + password)), created on the camera's
// clock. Empty when the system gives no random nonce.
std::string soap_request(const std::string& action_element, const char* action_ns, const std::string& token_value,
                         const char* token_element, const UsernameToken* token);

// What every request shares, for the services' own writers (ptz_soap.cpp):
// soap_envelope starts doc as a SOAP 1.2 envelope, with the WS-Security header
// above when token is given, and returns its Body (empty when the system gives
// no random nonce); soap_text writes doc out without indentation.
pugi::xml_node soap_envelope(pugi::xml_document* doc, const UsernameToken* token);
std::string soap_text(const pugi::xml_document& doc);

extern const char kDeviceNs[];  // http://www.onvif.org/ver10/device/wsdl
extern const char kMediaNs[];   // http://www.onvif.org/ver10/media/wsdl

// A random RFC 4122 version 4 UUID as a urn:uuid: name; empty on failure.
std::string random_urn();
