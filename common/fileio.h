// Whole-file helpers and the two file formats that cross tools.
//
// Read me first:
// - Every input is read whole into one buffer. Files of 2^31 bytes or more
//   are refused, so every length, offset and index fits a 32-bit integer.
//   Only regular files are read: a device, a FIFO (never opened blocking) or
//   a file that yields more bytes than its size says (/proc) is refused.
// - Every output is written to a temporary file beside its target, named
//   "<target>.tmp-<tool>-<pid>-<n>", and renamed over the target only once
//   it is complete, synced and closed. The outputs of one run are committed
//   as a unit (see commitOutputs): afterwards either all of them are new or
//   all are as they were. A failed run removes its temporaries before it
//   exits, a run ended by a signal too, and a commit removes those that
//   dead runs of the same tool left in the folders it writes to.
// - A target that is a symbolic link is written through: the file the link
//   leads to is replaced and the link stays. A replaced file keeps its
//   permission bits.
// - All words in files are little-endian. On a big-endian host they are
//   swapped on the way in and out; nothing else in the tools needs to know.
// - Functions that can fail return false (or nullptr) and put a one-line
//   reason, such as `cannot open "x": No such file or directory`, in *error.
//   Names in messages go through quotedName(), so a name holding a newline or
//   another control character still makes one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

constexpr uint32_t kBlockSize = 2048;
constexpr uint32_t kBlockShift = 11;
// Largest file the tools accept: below 2^31 bytes.
constexpr uint64_t kMaxFileLength = 0x7FFFFFFFu;

// Number of 2048-byte blocks of a file of `length` bytes (the last may be short).
inline uint32_t blockCount(uint32_t length) {
  return (length + (kBlockSize - 1)) >> kBlockShift;
}

// Byte length of the file most recently read by readWholeFile.
extern uint32_t lastReadLength;

constexpr bool kHostIsBigEndian =
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    true;
#else
    false;
#endif

inline uint32_t loadU32LE(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
         uint32_t(bytes[3]) << 24;
}

inline void storeU32LE(uint32_t value, uint8_t* bytes) {
  bytes[0] = uint8_t(value);
  bytes[1] = uint8_t(value >> 8);
  bytes[2] = uint8_t(value >> 16);
  bytes[3] = uint8_t(value >> 24);
}

inline uint32_t swapBytes32(uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

// Converts `count` words between file order (little-endian) and host order,
// in place. A no-op on little-endian hosts; the conversion is its own inverse.
void convertWordsLE(uint32_t* words, size_t count);

// A name as messages show it: in double quotes, with quotes, backslashes
// and control characters escaped (\n, \t, \r, \xHH).
std::string quotedName(const std::string& name);

// `text` with its control characters escaped as quotedName() does: one line.
std::string printable(const std::string& text);

// Opens the regular file at `path` for reading. Returns nullptr with *error
// set and errno saying why (ENOENT when it does not exist, EISDIR for a
// folder, EINVAL for any other kind of file) on failure.
FILE* openInputFile(const char* path, std::string* error);

// Reads exactly `length` bytes of `file` into `buffer` and checks that the
// file ends there: it may have neither shrunk nor grown since its length was
// taken, and a file whose size says less than it holds (/proc) is refused.
bool readExactly(FILE* file, const char* path, uint8_t* buffer, uint32_t length, std::string* error);

// Reads the whole file at `path` into a new buffer (never released) and sets
// lastReadLength. The buffer has at least one extra zero byte past the end and
// is aligned for 32-bit words. Returns nullptr and sets *error on failure,
// including a file of 2^31 bytes or more and a path that names no regular file.
uint8_t* readWholeFile(const char* path, std::string* error);

// Length of an open, seekable file, left positioned at its start. Fails
// (false, *error set) if the file cannot be sought or is 2^31 bytes or more.
bool fileLength(FILE* file, const char* path, uint32_t* length, std::string* error);

// Names this process's temporary files after `tool` and prepares signal
// handling: every signal whose default action ends the process removes the
// pending temporaries first, and SIGXFSZ is ignored so that a write beyond
// the file size limit fails with a message instead of ending the run.
void setOutputOwner(const char* tool);

struct OutputStream;

// An output being written to a temporary file beside its target.
struct OutputFile {
  FILE* file = nullptr;            // the temporary, open for writing
  std::string path;                // the name the caller gave, for messages
  std::string target;              // the file replaced: `path`, or where its links lead
  std::string tempPath;
  OutputStream* stream = nullptr;  // what `file` writes through
  bool finished = false;           // flushed, synced and closed
};

// Creates the temporary file for `path` and registers it so that a failed
// or interrupted run removes it. Refuses a target that is a folder or any
// other non-regular file.
bool openOutput(const char* path, OutputFile* output, std::string* error);

// Flushes, syncs and closes the temporary file, giving it the permission
// bits of the file it will replace. Failures name `path`. On failure the
// temporary is removed. Calling it before the next output is written makes
// a failure name the file that failed, not one flushed later.
bool finishOutput(OutputFile* output, std::string* error);

// commitOutputs for one output.
bool commitOutput(OutputFile* output, std::string* error);

// Finishes every output not finished yet, then, holding an advisory lock on
// each target's folder so that concurrent runs commit one after another,
// puts every temporary in its target's place. If any step fails, the
// targets already replaced get their earlier files back, every temporary is
// removed and false is returned: the set of targets is either all new or
// all as before. Signals wait until the commit is done or undone.
bool commitOutputs(OutputFile* const* outputs, int count, std::string* error);

// Closes and removes the temporary file; the target is untouched.
void discardOutput(OutputFile* output);

// Removes every temporary file that was opened and neither committed nor
// discarded. Called on the way out of a failed run.
void discardPendingOutputs();

// Writes `byteCount` bytes to `path`, replacing it atomically.
bool writeWholeFile(const void* data, uint32_t byteCount, const char* path, std::string* error);

// Writes `value` as four bytes, least significant first.
void writeU32LE(uint32_t value, FILE* file);

// Writes `count` 32-bit words in little-endian order with one block write.
void writeWordsLE(const uint32_t* words, size_t count, FILE* file);

// A count matrix: K columns, n rows of signed 32-bit counts, row-major.
struct CountMatrix {
  uint32_t columns = 0;  // K
  uint32_t rows = 0;     // n
  int32_t* counts = nullptr;
};

// Views a readWholeFile buffer of `length` bytes as a count matrix, converting
// the counts to host order in place. Fails if the buffer is shorter than its
// header or than 8 + 4*K*n bytes (computed without overflow). Extra bytes
// after the counts are ignored.
bool parseCountMatrix(uint8_t* buffer, uint32_t length, CountMatrix* matrix, std::string* error);

// Writes the two header words of a count matrix.
void writeCountMatrixHeader(uint32_t columns, uint32_t rows, FILE* file);

// Text of errno for messages.
std::string systemError();
