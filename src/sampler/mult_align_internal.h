// Small helpers shared by the source files of the sampler unit.
#ifndef QUILLMAR_SAMPLER_MULT_ALIGN_INTERNAL_H
#define QUILLMAR_SAMPLER_MULT_ALIGN_INTERNAL_H

#include <string>
#include <vector>

#include "tree/treespec.h"

namespace mult_align_detail {

inline bool isgap(char c) { return c == '_' || c == '-'; }

inline std::vector<char> chars_of(const std::string& s) {
    return std::vector<char>(s.begin(), s.end());
}

// The record of node whose far end is the node's parent; fatal (in
// whichone) for a root.
inline int parent_record(baum* node) { return node->whichone(node->parent()); }

}  // namespace mult_align_detail

#endif
