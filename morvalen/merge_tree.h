// The merge tree of the clustering and its leaf walk.
//
// A handle names a subtree: either a leaf tag, the odd number 2*r + 1 for
// row r, or the address of a MergeNode (at least 2-byte aligned, so bit 0 is
// clear). Every merge makes one node whose left child is the cluster that sat
// at the earlier position; the leaf order of the final tree is the new row
// order, and every cluster's rows are contiguous in it.
#pragma once

#include <cstdint>
#include <string>

using TreeHandle = uintptr_t;

struct MergeNode {
  TreeHandle left;
  TreeHandle right;
};

static_assert(alignof(MergeNode) >= 2, "bit 0 of a node address must be free for the leaf tag");

inline TreeHandle leafHandle(uint32_t row) { return (TreeHandle(row) << 1) | 1u; }
inline bool isLeaf(TreeHandle handle) { return (handle & 1u) != 0; }
inline uint32_t leafRow(TreeHandle handle) { return uint32_t(handle >> 1); }
inline TreeHandle nodeHandle(const MergeNode* node) { return reinterpret_cast<TreeHandle>(node); }
inline const MergeNode* handleNode(TreeHandle handle) {
  return reinterpret_cast<const MergeNode*>(handle);
}

// Writes the rows of the tree at `root` to `order`, left to right. The walk
// keeps pending right subtrees on an explicit stack of `leafCount` entries
// (a tree with that many leaves never needs more), so a left spine as deep
// as the number of rows cannot overflow the call stack. Fails, with *error
// set, if the stack cannot be allocated or the tree does not have exactly
// `leafCount` leaves.
bool writeLeafOrder(TreeHandle root, uint32_t leafCount, uint32_t* order, std::string* error);
