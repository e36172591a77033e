#include "merge_tree.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

// In-order leaf walk by recursion, for trees shallow enough for it.
static void recursiveLeaves(TreeHandle handle, std::vector<uint32_t>* out) {
  if (isLeaf(handle)) {
    out->push_back(leafRow(handle));
    return;
  }
  recursiveLeaves(handleNode(handle)->left, out);
  recursiveLeaves(handleNode(handle)->right, out);
}

TEST(MorvalenMergeTree, RandomTreesComeOutLeftToRight) {
  std::mt19937 random(7);
  for (int trial = 0; trial < 200; trial++) {
    uint32_t leaves = 1 + random() % 50;
    std::vector<MergeNode> nodes(leaves);
    std::vector<TreeHandle> forest;
    for (uint32_t r = 0; r < leaves; r++) forest.push_back(leafHandle(random() % 1000));
    for (uint32_t used = 0; forest.size() > 1; used++) {
      size_t i = random() % forest.size();
      size_t j = random() % (forest.size() - 1);
      if (j >= i) j++;
      nodes[used] = {forest[i], forest[j]};
      forest[i] = nodeHandle(&nodes[used]);
      forest.erase(forest.begin() + long(j));
    }
    std::vector<uint32_t> expected;
    recursiveLeaves(forest[0], &expected);
    std::vector<uint32_t> order(leaves);
    std::string error;
    ASSERT_TRUE(writeLeafOrder(forest[0], leaves, order.data(), &error)) << error;
    EXPECT_EQ(order, expected);
  }
}

TEST(MorvalenMergeTree, WalksSpinesFarDeeperThanTheCallStack) {
  // Millions of nodes: a recursive walk would overflow the call stack on
  // the left spine.
  const uint32_t leaves = 3000000;
  for (bool leftSpine : {true, false}) {
    std::vector<MergeNode> nodes(leaves - 1);
    TreeHandle tree = leafHandle(0);
    for (uint32_t r = 1; r < leaves; r++) {
      nodes[r - 1] = leftSpine ? MergeNode{tree, leafHandle(r)} : MergeNode{leafHandle(r), tree};
      tree = nodeHandle(&nodes[r - 1]);
    }
    std::vector<uint32_t> order(leaves);
    std::string error;
    ASSERT_TRUE(writeLeafOrder(tree, leaves, order.data(), &error)) << error;
    for (uint32_t i = 0; i < leaves; i++) ASSERT_EQ(order[i], leftSpine ? i : leaves - 1 - i) << i;
  }
}

TEST(MorvalenMergeTree, RefusesALeafCountThatDoesNotMatch) {
  MergeNode inner = {leafHandle(1), leafHandle(2)};
  MergeNode root = {leafHandle(0), nodeHandle(&inner)};
  std::vector<uint32_t> order(4, 99);
  std::string error;
  EXPECT_FALSE(writeLeafOrder(nodeHandle(&root), 2, order.data(), &error));
  EXPECT_EQ(order[2], 99u) << "never writes past the count it was given";
  EXPECT_FALSE(writeLeafOrder(nodeHandle(&root), 4, order.data(), &error));
  EXPECT_TRUE(writeLeafOrder(nodeHandle(&root), 3, order.data(), &error)) << error;
  EXPECT_EQ(order, (std::vector<uint32_t>{0, 1, 2, 99}));
}
