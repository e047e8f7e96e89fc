// Inside the answers' readers (answers.cpp, ptz_soap.cpp): the parsed envelope
// and the few steps they take through it. Elements are matched by local name,
// whatever prefix a camera binds; nothing here recurses, as a hostile answer
// may nest a hundred thousand deep.
#pragma once
#include <pugixml.hpp>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "answers.h"

struct OnvifAnswer {
  pugi::xml_document doc;
  pugi::xml_node body;
};

static inline const char* local_name(const char* name) {
  const char* colon = std::strrchr(name, ':');
  return colon ? colon + 1 : name;
}

static inline bool is(pugi::xml_node n, const char* local) {
  return n.type() == pugi::node_element && std::strcmp(local_name(n.name()), local) == 0;
}

static inline pugi::xml_node child(pugi::xml_node n, const char* local) {
  for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
    if (is(c, local)) return c;
  }
  return pugi::xml_node();
}

// A path of local names below n, each step the first child of that name.
static inline pugi::xml_node path(pugi::xml_node n, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (!n) break;
    n = child(n, name);
  }
  return n;
}

// The next element after n in document order within root.
static inline pugi::xml_node next_in(pugi::xml_node root, pugi::xml_node n) {
  if (n.first_child()) return n.first_child();
  while (n && n != root) {
    if (n.next_sibling()) return n.next_sibling();
    n = n.parent();
  }
  return pugi::xml_node();
}

static inline std::string text(pugi::xml_node n) {
  std::string s = n.child_value();
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// A whole number in text, or fallback when it is none or outside [lo, hi].
static inline long number(pugi::xml_node n, long lo, long hi, long fallback) {
  std::string s = text(n);
  if (s.empty()) return fallback;
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return fallback;
  return v;
}
