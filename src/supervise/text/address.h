// A camera's address as text: the password in it masked for people, a user
// and password composed into it for the tool, percent-coding. address.cpp.
#pragma once
#include <string>

// The input as the status shows it: a password in the URL's userinfo replaced
// by ***. The userinfo is taken up to the last @, so that a password holding an
// unescaped / or ? is masked too (a path with an @ is masked more than it needs
// to be, never less).
std::string mask_input(const std::string& url);

// line with the password of address (the tool's --input) replaced by ***
// wherever it stands, as written in the address and percent-decoded: the
// decoder names the address in its complaints, and they reach the log.
std::string mask_password(const std::string& line, const std::string& address);

// The address handed to the tool: input with user and password put in its
// userinfo, each percent-encoded, in place of any userinfo it already holds.
// An empty user leaves input as it is, so an address that carries its own
// user and password keeps working.
std::string compose_input(const std::string& input, const std::string& user, const std::string& password);

// Where an address leads: its scheme, host and port (the scheme's own when
// none is written), lowercased, as one text; two addresses lead to the same
// camera when these are equal. A userinfo may hold an unescaped / and a path
// an @, so the host is read both ways (the authority up to the first / and the
// text after the last @) and both are in the text: a change of either is a
// change of place.
std::string address_place(const std::string& url);

// True for an rtsp:// or rtsps:// address (the scheme in any case).
bool is_rtsp_address(const std::string& input);

// text with every byte but RFC 3986's unreserved characters as %XX, so that a
// : or @ in a user name or password cannot end its part of an address early,
// nor a name its query value.
std::string percent_encode(const std::string& text);

// text with each %XX as its byte; a % without two hex digits after it stays.
std::string percent_decode(const std::string& text);
