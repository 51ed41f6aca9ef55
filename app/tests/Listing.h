#pragma once
// Log listings as the worker writes them, for comparing a whole log at once.
#include <string>
#include <vector>

namespace listing {

using Lines = std::vector<std::string>;

inline Lines Listing(const char* heading, const Lines& body) {
  Lines l{heading};
  l.insert(l.end(), body.begin(), body.end());
  l.push_back("");
  return l;
}

inline Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace listing
