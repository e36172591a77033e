#include "merge_tree.h"

#include <cstdlib>

bool writeLeafOrder(TreeHandle root, uint32_t leafCount, uint32_t* order, std::string* error) {
  // A node's pending right child is pushed while the walk goes down its
  // left side; a tree of m leaves has m - 1 nodes, so at most m - 1 are
  // pending at once, and one more slot holds the root.
  TreeHandle* pending = static_cast<TreeHandle*>(malloc(sizeof(TreeHandle) * (size_t(leafCount) + 1)));
  if (!pending) {
    *error = "cannot allocate the stack of the leaf walk for " + std::to_string(leafCount) + " rows";
    return false;
  }
  size_t depth = 0;
  uint32_t leafCursor = 0;
  pending[depth++] = root;
  bool fits = true;
  while (depth > 0 && fits) {
    TreeHandle handle = pending[--depth];
    while (!isLeaf(handle) && depth < leafCount) {
      pending[depth++] = handleNode(handle)->right;
      handle = handleNode(handle)->left;
    }
    if (!isLeaf(handle) || leafCursor == leafCount) {
      fits = false;
      break;
    }
    order[leafCursor++] = leafRow(handle);
  }
  free(pending);
  if (!fits || leafCursor != leafCount) {
    *error = "the merge tree does not have " + std::to_string(leafCount) + " leaves";
    return false;
  }
  return true;
}
