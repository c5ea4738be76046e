#pragma once

// Walks a junit.xml document (tinyxml2): the elements of one name below
// another, and every test case of every suite.

#include <tinyxml2.h>

#include <vector>

namespace junit_walk {

using Elements = std::vector<const tinyxml2::XMLElement *>;

inline Elements children(const tinyxml2::XMLElement *parent, const char *name) {
  Elements found;
  for (const auto *child = parent->FirstChildElement(name); child != nullptr;
       child = child->NextSiblingElement(name))
    found.push_back(child);
  return found;
}

inline Elements cases(const tinyxml2::XMLDocument &doc) {
  Elements all;
  for (const auto *suite : children(doc.RootElement(), "testsuite")) {
    const Elements in_suite = children(suite, "testcase");
    all.insert(all.end(), in_suite.begin(), in_suite.end());
  }
  return all;
}

} // namespace junit_walk
