#include "test_support.h"

#include "sample_data.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

static int shell(const std::string& command) {
  int status = system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string makeScratchDir(const std::string& name) {
  std::string dir = std::string(SCRATCH_ROOT) + "/" + name;
  shell("rm -rf '" + dir + "' && mkdir -p '" + dir + "'");
  return dir;
}

bool fileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

const std::vector<std::string>& corpusFiles() {
  static std::vector<std::string> files;
  static bool done = false;
  if (done) return files;
  done = true;
  std::string corpus = CORPUS_DIR;
  if (!fileExists(corpus + "/calgary.tar.gz") || !fileExists(corpus + "/cantrbry.tar.gz")) return files;
  std::string dir = std::string(SCRATCH_ROOT) + "/corpus";
  if (!fileExists(dir + "/.complete")) {
    shell("rm -rf '" + dir + "' && mkdir -p '" + dir + "/calgary' '" + dir + "/cantrbry'");
    if (shell("tar xzf '" + corpus + "/calgary.tar.gz' -C '" + dir + "/calgary' && tar xzf '" + corpus +
              "/cantrbry.tar.gz' -C '" + dir + "/cantrbry' && touch '" + dir + "/.complete'") != 0)
      return files;
  }
  std::string listing = dir + "/.list";
  shell("find '" + dir + "/calgary' '" + dir + "/cantrbry' -type f | LC_ALL=C sort > '" + listing + "'");
  std::ifstream in(listing);
  for (std::string line; std::getline(in, line);) files.push_back(line);
  return files;
}

#if defined(__SANITIZE_ADDRESS__)
static const bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
static const bool kAddressSanitizer = true;
#else
static const bool kAddressSanitizer = false;
#endif
#else
static const bool kAddressSanitizer = false;
#endif

bool builtWithAddressSanitizer() { return kAddressSanitizer; }

std::string memoryCapPrefix(unsigned mebibytes) {
  std::string cap = std::to_string(mebibytes);
  // ASan warns on stderr about each refused allocation; its reports go to
  // ${TMPDIR:-/tmp}/blockcluster-asan.PID instead, so that the program's own
  // one-line message stands alone. A real finding still aborts the program.
  if (kAddressSanitizer)
    return "ASAN_OPTIONS=\"$ASAN_OPTIONS:max_allocation_size_mb=" + cap +
           ":log_path=${TMPDIR:-/tmp}/blockcluster-asan\" ";
  return "ulimit -v " + std::to_string(uint64_t(mebibytes) * 1024) + " && ";
}

std::string toolPath(const std::string& tool) { return std::string(TOOLS_DIR) + "/" + tool; }

int runIn(const std::string& dir, const std::string& command, std::string* stderrText) {
  std::string errFile = dir + "/.stderr";
  int status = shell("cd '" + dir + "' && " + command + " 2> '" + errFile + "'");
  if (stderrText) {
    std::vector<uint8_t> bytes = readFileBytes(errFile);
    stderrText->assign(bytes.begin(), bytes.end());
  }
  remove(errFile.c_str());
  return status;
}

std::vector<uint8_t> pseudoRandomBytes(size_t count, uint32_t seed) {
  std::vector<uint8_t> bytes(count);
  uint32_t state = seed;
  for (uint8_t& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = uint8_t((state >> 24) % 37 + 40);
  }
  return bytes;
}

std::vector<uint8_t> readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* handle = opendir(dir.c_str())) {
    while (dirent* entry = readdir(handle)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(handle);
  }
  std::sort(names.begin(), names.end());
  return names;
}

int runOnTerminal(const std::string& dir, const std::string& command, bool stdoutOnTerminal,
                  std::string* terminalBytes, unsigned readDelayMs) {
  terminalBytes->clear();
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  std::string terminalPath = ptsname(master);
  pid_t pid = fork();
  if (pid == 0) {
    int terminal = open(terminalPath.c_str(), O_RDWR | O_NOCTTY);
    if (terminal < 0 || dup2(terminal, 2) < 0 || (stdoutOnTerminal && dup2(terminal, 1) < 0)) _exit(127);
    close(terminal);
    close(master);
    std::string full = "cd '" + dir + "' && " + command;
    execl("/bin/sh", "sh", "-c", full.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) {
    close(master);
    return -1;
  }
  // Then read until every holder of the terminal has closed it (EIO).
  usleep(readDelayMs * 1000);
  char chunk[4096];
  for (;;) {
    ssize_t got = read(master, chunk, sizeof chunk);
    if (got > 0) {
      terminalBytes->append(chunk, size_t(got));
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> screenLines(const std::string& bytes) {
  std::vector<std::string> lines(1);
  size_t column = 0;
  for (char c : bytes) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else {
      std::string& line = lines.back();
      if (column < line.size())
        line[column] = c;
      else
        line.push_back(c);
      column++;
    }
  }
  for (std::string& line : lines) line.erase(line.find_last_not_of(' ') + 1);
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

std::vector<uint8_t> bwtLikeBytes(uint32_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> data;
  data.reserve(length);
  while (data.size() < length) {
    uint8_t favourite = uint8_t(random() % 256);
    uint32_t stretch = 200 + random() % 5000;
    for (uint32_t i = 0; i < stretch && data.size() < length; i++) {
      uint32_t roll = random() % 100;
      if (roll < 70)
        data.push_back(favourite);
      else if (roll < 95)
        data.push_back(uint8_t(favourite + 1 + random() % 4));
      else
        data.push_back(uint8_t(random()));
    }
  }
  return data;
}

const std::vector<GeneratedFile>& generatedFiles() {
  static std::vector<GeneratedFile> files;
  if (!files.empty()) return files;
  uint32_t seed = 100;
  for (uint32_t length : {40000u, 150000u, 310000u, 620000u})
    files.push_back({"bwt-like-" + std::to_string(length), bwtLikeBytes(length, seed++)});
  for (uint32_t length : {100000u, 260000u, 450000u})
    files.push_back({"sample-" + std::to_string(length), makeSample(length, seed++)});
  return files;
}

std::vector<uint8_t> blockHistogramMatrix(const std::vector<uint8_t>& data) {
  uint32_t rows = uint32_t((data.size() + 2047) / 2048);
  std::vector<uint32_t> words(2 + size_t(rows) * 256, 0);
  words[0] = 256;
  words[1] = rows;
  for (size_t i = 0; i < data.size(); i++) words[2 + (i / 2048) * 256 + data[i]]++;
  std::vector<uint8_t> bytes(words.size() * 4);
  for (size_t i = 0; i < words.size(); i++)
    for (int b = 0; b < 4; b++) bytes[i * 4 + b] = uint8_t(words[i] >> (8 * b));
  return bytes;
}
