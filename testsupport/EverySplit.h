// The ways the tests cut an input for an incremental parser: whole, one byte per
// piece, and in two at every position. A parser that keeps its state between
// pieces must give the same verdict for all of them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

struct TSplit {
  std::string name;  // "whole", "byte by byte" or "cut at N", for failure messages
  std::vector<std::string_view> pieces;
};

// The pieces point into input, which must outlive them.
std::vector<TSplit> EverySplit(std::string_view input);

}  // namespace testsupport
