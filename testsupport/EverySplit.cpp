#include "testsupport/EverySplit.h"

namespace testsupport {

std::vector<TSplit> EverySplit(std::string_view input) {
  std::vector<TSplit> splits{{"whole", {input}}};
  if (input.size() < 2) return splits;
  TSplit bytes{"byte by byte", {}};
  for (size_t i = 0; i < input.size(); ++i) bytes.pieces.push_back(input.substr(i, 1));
  splits.push_back(bytes);
  for (size_t cut = 1; cut < input.size(); ++cut)
    splits.push_back({"cut at " + std::to_string(cut), {input.substr(0, cut), input.substr(cut)}});
  return splits;
}

}  // namespace testsupport
