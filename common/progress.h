// One progress line on stderr while a long run works, for a user at a
// terminal, such as
//   morvalen: 1200 of 16714 merges, 0:04 elapsed, about 0:31 left
//
// Read me first:
// - Nothing happens unless stderr is a terminal: no thread starts and no
//   byte is written. Runs whose stderr is a file or a pipe (scripts, tests,
//   the build comparisons) print exactly what they printed before.
// - Standard output is never written here, except through
//   writeBesideProgress, so it is the same with or without the line.
// - A thread of its own redraws the line five times a second from a counter
//   that the run sets with one atomic store (setProgress); the run never
//   waits for the terminal. Nothing is drawn in the first half second, so
//   quick runs show nothing at all. The thread blocks every signal, so that
//   signals reach the main thread, as they did before it existed.
// - endProgress (also called by failWith and at exit) stops the thread and
//   erases the line, so nothing of it stays on the screen.
// - One line per process: the state is process-wide, as the terminal is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// How the work spreads over the units, for the estimate of the time left.
enum class ProgressPace {
  kEven,       // every unit costs about the same, such as the blocks of a file
  kShrinking,  // unit k of n costs about n + 1 - k, such as a merge that
               // scans the clusters still live
};

struct ProgressPlan {
  const char* label = "";   // the tool, such as "morvalen"
  const char* unit = "";    // "merges"; with inMegabytes, what the bytes are
  uint64_t total = 0;       // units in all; 0 when the share done is unknown
  bool inMegabytes = false; // counts are bytes, shown in MB
  ProgressPace pace = ProgressPace::kEven;
};

// Starts the line when stderr is a terminal. With a total the line reads
// "label: done of total unit, M:SS elapsed, about M:SS left" (the estimate
// once a rate is known); without one, "label: unit, M:SS elapsed".
void startProgress(const ProgressPlan& plan);

// The units done so far. Cheap enough for every block of a file.
void setProgress(uint64_t done);

// True while a line may be on the screen (stderr is a terminal and the run
// has started it).
bool progressActive();

// Writes `length` bytes to `stream` and flushes it with the progress line
// erased, then draws the line again below them: for output that may go to
// the same terminal. Returns false when the write or the flush failed.
bool writeBesideProgress(const char* text, size_t length, FILE* stream);

// Stops the thread and erases the line. Safe to call at any time, and again.
void endProgress();

// The line for `done` units after `elapsedSeconds`, with an estimate of
// `leftSeconds` (negative: none yet). For tests.
std::string progressLine(const ProgressPlan& plan, uint64_t done, double elapsedSeconds,
                         double leftSeconds);

// Seconds left for the units not yet done, from the rate seen between two
// moments of the run (done1 units after t1 seconds, done2 after t2); negative
// when that rate says nothing yet.
double progressTimeLeft(const ProgressPlan& plan, uint64_t done1, double t1, uint64_t done2, double t2);
