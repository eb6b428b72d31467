// Text form of the estimated transforms, so that an alignment can be saved and
// reused: one line per input,
//   <path> TAB <h00> <h01> <h02> <h10> <h11> <h12> <h20> <h21> <h22>
// with each value printed to 17 significant digits (bit-exact round trip) and
// the matrix mapping that input's pixels onto the reference. Blank lines and
// lines starting with '#' that hold no TAB are comments.
#pragma once

#include "alignment/homography.h"

#include <string>
#include <vector>

namespace quovix::align {

struct TransformEntry {
    std::string path;
    Homography toReference;
};

// The file content for the entries, after a one-line comment header. False
// (with a message) for a path holding a line break, or a value that is not
// finite.
bool formatTransforms(const std::vector<TransformEntry>& entries, std::string& text, std::string& error);

// Parses file content. False with a message naming the line for: a line
// without a TAB, a path that is empty, not exactly nine values, a value that is
// not a plain finite number, a path holding a carriage return (it could not
// be written back), or a matrix that cannot be inverted.
bool parseTransforms(const std::string& text, std::vector<TransformEntry>& entries, std::string& error);

} // namespace quovix::align
