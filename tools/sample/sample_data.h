// A deterministic sample for the block tools: several kinds of material
// (text, a table of numbers, 16-bit binary records, random bytes) interleaved
// block by block, so that regrouping the blocks by their histograms shows.
//
// The generator uses only integer arithmetic and fixed formats, so the sample
// is the same bytes on every host and compiler.
#pragma once

#include <cstdint>
#include <vector>

enum class SampleKind : uint8_t { kText, kTable, kRecords, kNoise };
constexpr int kSampleKindCount = 4;

// The kind of material of each 2048-byte block of a sample of `length` bytes.
std::vector<SampleKind> sampleBlockKinds(uint32_t length, uint64_t seed);

// A sample of `length` bytes whose block i is material of kind
// sampleBlockKinds(length, seed)[i]. Each kind is one continuous stream, cut
// into the blocks of that kind.
std::vector<uint8_t> makeSample(uint32_t length, uint64_t seed);

const char* sampleKindName(SampleKind kind);
