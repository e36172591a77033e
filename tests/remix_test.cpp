#include "remix_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "fileio.h"
#include "test_support.h"

namespace {

std::vector<uint8_t> orderBytes(const std::vector<uint32_t>& entries) {
  std::vector<uint8_t> bytes(4 * entries.size());
  for (size_t i = 0; i < entries.size(); i++) storeU32LE(entries[i], &bytes[4 * i]);
  return bytes;
}

// Bytes whose value depends on the block and the position within it, so
// that a misplaced or truncated block shows.
std::vector<uint8_t> patternData(uint32_t length) {
  std::vector<uint8_t> data(length);
  for (uint32_t i = 0; i < length; i++) data[i] = uint8_t(i * 7 + (i >> 11) * 31);
  return data;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& data, uint32_t start, uint32_t length) {
  return std::vector<uint8_t>(data.begin() + start, data.begin() + start + length);
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Checks the order and remixes; fails the test if the order is refused.
std::vector<uint8_t> remixed(const std::vector<uint8_t>& data, const std::vector<uint32_t>& entries) {
  std::vector<uint8_t> order = orderBytes(entries);
  std::string error;
  EXPECT_TRUE(checkOrder(order.data(), uint32_t(order.size()), uint32_t(data.size()), &error)) << error;
  std::vector<uint8_t> out(remixedLength(order.data(), uint32_t(data.size())));
  remixInto(data.data(), uint32_t(data.size()), order.data(), out.data());
  return out;
}

std::string refusal(uint32_t dataLength, const std::vector<uint8_t>& order) {
  std::string error;
  EXPECT_FALSE(checkOrder(order.data(), uint32_t(order.size()), dataLength, &error));
  return error;
}

// Undoes a remix; fails the test if the order is refused.
std::vector<uint8_t> restored(const std::vector<uint8_t>& remixedData, const std::vector<uint32_t>& entries) {
  std::vector<uint8_t> order = orderBytes(entries);
  std::string error;
  EXPECT_TRUE(checkPermutation(order.data(), uint32_t(order.size()), uint32_t(remixedData.size()), &error))
      << error;
  std::vector<uint8_t> out(remixedData.size());
  restoreInto(remixedData.data(), uint32_t(remixedData.size()), order.data(), out.data());
  return out;
}

std::string permutationRefusal(uint32_t dataLength, const std::vector<uint32_t>& entries) {
  std::vector<uint8_t> order = orderBytes(entries);
  std::string error;
  EXPECT_FALSE(checkPermutation(order.data(), uint32_t(order.size()), dataLength, &error));
  return error;
}

std::vector<uint32_t> randomPermutation(uint32_t count, std::mt19937& random) {
  std::vector<uint32_t> entries(count);
  for (uint32_t i = 0; i < count; i++) entries[i] = i;
  for (uint32_t i = count; i > 1; i--) std::swap(entries[i - 1], entries[random() % i]);
  return entries;
}

}  // namespace

TEST(RemixCore, EmptyDataNeedsNoEntries) {
  EXPECT_TRUE(remixed({}, {}).empty());
  EXPECT_TRUE(remixed({}, {5, 6}).empty()) << "no entry is used, so none is checked";
}

TEST(RemixCore, ShortLastBlockKeepsItsLengthWhereverItGoes) {
  std::vector<uint8_t> data = patternData(5000);
  std::vector<uint8_t> out = remixed(data, {2, 0, 1});
  ASSERT_EQ(out.size(), 5000u);
  EXPECT_EQ(out, concat({slice(data, 4096, 904), slice(data, 0, 2048), slice(data, 2048, 2048)}));
}

TEST(RemixCore, IdentityOrderReproducesTheData) {
  for (uint32_t length : {1u, 2048u, 4097u, 10000u}) {
    std::vector<uint8_t> data = patternData(length);
    std::vector<uint32_t> identity(blockCount(length));
    for (uint32_t i = 0; i < identity.size(); i++) identity[i] = i;
    EXPECT_EQ(remixed(data, identity), data) << length << " bytes";
  }
}

TEST(RemixCore, UsesOnlyOneEntryPerBlock) {
  std::vector<uint8_t> data = patternData(4096);
  EXPECT_EQ(remixed(data, {1, 0, 7, 0xFFFFFFFFu}), concat({slice(data, 2048, 2048), slice(data, 0, 2048)}))
      << "entries past the second are neither used nor checked";
}

TEST(RemixCore, RepeatedEntriesAreAllowed) {
  std::vector<uint8_t> data = patternData(5000);
  std::vector<uint8_t> tail = slice(data, 4096, 904);
  EXPECT_EQ(remixed(data, {2, 2, 2}), concat({tail, tail, tail}));
  std::vector<uint8_t> first = slice(data, 0, 2048);
  EXPECT_EQ(remixed(data, {0, 0, 0}), concat({first, first, first})) << "longer than the data";
}

TEST(RemixCore, RefusesEntriesThatNameNoBlock) {
  // 2^21 << 11 wraps to 0 in 32 bits: it must be refused, not read as block 0.
  EXPECT_EQ(refusal(5000, orderBytes({0, 2097152, 1})), "entry 1 is 2097152, but the data has 3 blocks (0 to 2)");
  EXPECT_EQ(refusal(5000, orderBytes({0, 1, 3})), "entry 2 is 3, but the data has 3 blocks (0 to 2)");
  EXPECT_EQ(refusal(1, orderBytes({0xFFFFFFFFu})), "entry 0 is 4294967295, but the data has 1 block (0 to 0)");
}

TEST(RemixCore, RefusesShortOrdersAndStrayBytes) {
  EXPECT_EQ(refusal(5000, orderBytes({0, 1})), "it has 2 entries, but the data has 3 blocks");
  EXPECT_EQ(refusal(1, {}), "it has 0 entries, but the data has 1 block");
  std::vector<uint8_t> stray = orderBytes({2, 0, 1});
  stray.push_back(0);
  EXPECT_EQ(refusal(5000, stray), "its length, 13 bytes, is not a whole number of 4-byte entries");
  EXPECT_EQ(refusal(0, {1, 2}), "its length, 2 bytes, is not a whole number of 4-byte entries");
}

TEST(RemixInverse, RestoresEveryLengthWhereverTheShortBlockWent) {
  std::mt19937 random(15);
  for (uint32_t length : {0u, 1u, 2047u, 2048u, 2049u, 5000u, 4096u, 20 * 2048u + 1000u, 300 * 2048u + 7u}) {
    std::vector<uint8_t> data = patternData(length);
    uint32_t blocks = blockCount(length);
    // The short last block moved to every position, then random orders.
    std::vector<std::vector<uint32_t>> orders;
    for (uint32_t position = 0; position < std::min(blocks, 24u); position++) {
      std::vector<uint32_t> entries = randomPermutation(blocks, random);
      std::swap(entries[position], *std::find(entries.begin(), entries.end(), blocks - 1));
      orders.push_back(entries);
    }
    for (int trial = 0; trial < 10; trial++) orders.push_back(randomPermutation(blocks, random));
    if (blocks == 0) orders.push_back({});
    for (const std::vector<uint32_t>& entries : orders) {
      std::vector<uint8_t> mixed = remixed(data, entries);
      ASSERT_EQ(restored(mixed, entries), data) << length << " bytes";
    }
  }
}

TEST(RemixInverse, IgnoresEntriesPastOnePerBlock) {
  std::vector<uint8_t> data = patternData(5000);
  std::vector<uint32_t> entries = {1, 2, 0, 1, 0xFFFFFFFFu};
  EXPECT_EQ(restored(remixed(data, entries), entries), data);
  EXPECT_TRUE(restored({}, {7, 7}).empty()) << "empty data uses no entry";
}

TEST(RemixInverse, RefusesOrdersThatAreNoPermutation) {
  EXPECT_EQ(permutationRefusal(5000, {2, 0, 2}),
            "entry 2 is 2, which entry 0 names already: only an order that names every block once can be undone");
  EXPECT_EQ(permutationRefusal(4096, {1, 1}),
            "entry 1 is 1, which entry 0 names already: only an order that names every block once can be undone");
  EXPECT_EQ(permutationRefusal(5000, {0, 1, 3}), "entry 2 is 3, but the data has 3 blocks (0 to 2)");
  EXPECT_EQ(permutationRefusal(5000, {0, 1}), "it has 2 entries, but the data has 3 blocks");
  std::vector<uint8_t> stray = orderBytes({1, 0});
  stray.pop_back();
  std::string error;
  EXPECT_FALSE(checkPermutation(stray.data(), uint32_t(stray.size()), 4096, &error));
  EXPECT_EQ(error, "its length, 7 bytes, is not a whole number of 4-byte entries");
}

TEST(RemixProgram, InverseRestoresTheDataAndRefusesWithoutWriting) {
  std::string dir = makeScratchDir("remix_inverse");
  std::vector<uint8_t> data = patternData(3 * 2048 + 5);
  writeFileBytes(dir + "/data", data);
  writeFileBytes(dir + "/good.ord", orderBytes({3, 1, 0, 2}));
  writeFileBytes(dir + "/twice.ord", orderBytes({3, 1, 3, 2}));
  std::string remix = toolPath("remix");
  ASSERT_EQ(runIn(dir, remix + " data good.ord"), 0);
  std::string message;
  EXPECT_EQ(runIn(dir, remix + " --inverse remixed.dmp twice.ord", &message), 1);
  EXPECT_EQ(message, "remix: bad order \"twice.ord\": entry 2 is 3, which entry 0 names already: "
                     "only an order that names every block once can be undone\n");
  EXPECT_FALSE(fileExists(dir + "/restored.dmp"));
  EXPECT_EQ(runIn(dir, remix + " --inverse remixed.dmp", &message), 2);
  EXPECT_EQ(message, "remix: missing argument; usage: remix DATA ORDER or remix --inverse REMIXED ORDER\n");
  EXPECT_EQ(listDir(dir), (std::vector<std::string>{"data", "good.ord", "remixed.dmp", "twice.ord"}))
      << "a refused run writes nothing, not even a temporary file";

  ASSERT_EQ(runIn(dir, remix + " --inverse remixed.dmp good.ord", &message), 0) << message;
  EXPECT_EQ(readFileBytes(dir + "/restored.dmp"), data);
  EXPECT_NE(readFileBytes(dir + "/remixed.dmp"), data) << "the order moved the short block";
  writeFileBytes(dir + "/--inverse", readFileBytes(dir + "/remixed.dmp"));
  ASSERT_EQ(runIn(dir, remix + " --inverse -- --inverse good.ord"), 0) << "-- ends the options";
  EXPECT_EQ(readFileBytes(dir + "/restored.dmp"), data);
}

TEST(RemixProgram, WritesRemixedDataAndRefusesBadOrdersWithoutTouchingIt) {
  std::string dir = makeScratchDir("remix_program");
  std::vector<uint8_t> data = patternData(5000);
  writeFileBytes(dir + "/data", data);
  writeFileBytes(dir + "/good.ord", orderBytes({2, 0, 1, 9}));
  std::string remix = toolPath("remix");
  ASSERT_EQ(runIn(dir, remix + " data good.ord"), 0);
  std::vector<uint8_t> expected = concat({slice(data, 4096, 904), slice(data, 0, 4096)});
  EXPECT_EQ(readFileBytes(dir + "/remixed.dmp"), expected);

  writeFileBytes(dir + "/wrapping.ord", orderBytes({0, 1, 2097152}));
  std::string message;
  EXPECT_EQ(runIn(dir, remix + " data wrapping.ord", &message), 1);
  EXPECT_EQ(message, "remix: bad order \"wrapping.ord\": entry 2 is 2097152, but the data has 3 blocks (0 to 2)\n");
  EXPECT_EQ(runIn(dir, remix + " data missing.ord", &message), 1);
  EXPECT_EQ(message, "remix: cannot open \"missing.ord\": No such file or directory\n");
  EXPECT_EQ(readFileBytes(dir + "/remixed.dmp"), expected) << "a refused run leaves the output alone";
  EXPECT_EQ(listDir(dir), (std::vector<std::string>{"data", "good.ord", "remixed.dmp", "wrapping.ord"}))
      << "no temporary file is left behind";
}

TEST(RemixProgram, MissingArgumentsGiveUsageAndFailure) {
  std::string dir = makeScratchDir("remix_usage");
  std::string message;
  EXPECT_NE(runIn(dir, toolPath("remix") + " data", &message), 0);
  EXPECT_NE(message.find("usage: remix DATA ORDER"), std::string::npos) << message;
  EXPECT_EQ(runIn(dir, toolPath("remix") + " --help > help.txt"), 0);
  std::vector<uint8_t> help = readFileBytes(dir + "/help.txt");
  EXPECT_EQ(std::string(help.begin(), help.begin() + 23), "usage: remix DATA ORDER");
  EXPECT_FALSE(fileExists(dir + "/remixed.dmp"));
}
