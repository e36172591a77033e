#include "test_support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

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
