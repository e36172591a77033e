// Outputs: written to temporaries, committed together.
//
// Read me first:
// - A temporary is written through stdio, whose writes go through a cookie
//   stream to write(2) on the temporary's descriptor: the first failed
//   write's errno is kept for the message, and every operation on the file
//   is a plain system call that tests can make fail.
// - A commit takes, for each output in turn, the target's place with one
//   atomic exchange (renameat2 RENAME_EXCHANGE): the new file gets the
//   target's name and the earlier file the temporary's. Where a filesystem
//   cannot exchange, the earlier file is first renamed aside and the new one
//   renamed in. Either way the earlier file is kept until every output is
//   in place and the folders are synced; a failure at any step renames each
//   earlier file back (or removes a target that did not exist before).
// - Runs in one folder serialise their commits with flock on the folder
//   itself, held only from the first rename to the removal of the earlier
//   files, so the last committer's set stands whole. A folder that cannot be
//   opened or locked (no read permission, a filesystem without flock) is
//   committed without the lock.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileio.h"
#include "temporary_files.h"

struct OutputStream {
  int fd = -1;
  int writeErrno = 0;  // of the first failed write; 0 while none failed
  int closeErrno = 0;
};

static ssize_t writeToStream(void* cookie, const char* data, size_t size) {
  OutputStream* stream = static_cast<OutputStream*>(cookie);
  size_t done = 0;
  while (done < size) {
    ssize_t written = write(stream->fd, data + done, size - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (stream->writeErrno == 0) stream->writeErrno = written < 0 ? errno : EIO;
      // stdio counts a short write as an error and keeps the error flag.
      return 0;
    }
    done += size_t(written);
  }
  return ssize_t(size);
}

static int closeStream(void* cookie) {
  OutputStream* stream = static_cast<OutputStream*>(cookie);
  int result = close(stream->fd);
  if (result != 0) stream->closeErrno = errno;
  stream->fd = -1;
  return result;
}

static std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

static const char* kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "not a regular file";
}

// Why an existing target of this mode cannot be replaced; empty if it can.
static std::string unreplaceable(mode_t mode) {
  if (S_ISREG(mode)) return "";
  if (S_ISDIR(mode)) return std::strerror(EISDIR);
  return std::string("it is ") + kindOf(mode) + ", not a regular file";
}

// Follows `path` through symbolic links to the file an output replaces:
// the first name that is not a link, whether it exists or not.
static bool resolveTarget(const std::string& path, std::string* target, std::string* error) {
  std::string current = path;
  for (int hops = 0; hops <= 40; hops++) {
    struct stat info;
    if (lstat(current.c_str(), &info) != 0) break;  // created by the commit; open tells what is wrong
    if (!S_ISLNK(info.st_mode)) {
      std::string why = unreplaceable(info.st_mode);
      if (!why.empty()) {
        *error = "cannot replace " + quotedName(path) + ": " + why;
        return false;
      }
      break;
    }
    std::vector<char> link(size_t(info.st_size > 0 ? info.st_size : 255) + 1);
    ssize_t length = readlink(current.c_str(), link.data(), link.size());
    if (length < 0 || size_t(length) >= link.size()) {
      *error = "cannot follow " + quotedName(path) + ": " + (length < 0 ? systemError() : "the link changed");
      return false;
    }
    std::string next(link.data(), size_t(length));
    current = next[0] == '/' || current.find('/') == std::string::npos ? next : folderOf(current) + "/" + next;
    if (hops == 40) {
      *error = "cannot follow " + quotedName(path) + ": " + std::strerror(ELOOP);
      return false;
    }
  }
  *target = current;
  return true;
}

bool openOutput(const char* path, OutputFile* output, std::string* error) {
  *output = OutputFile();
  output->path = path;
  if (!resolveTarget(output->path, &output->target, error)) return false;
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string temp = temporaryName(output->target);
    bool tooMany = false;
    int fd = createTemporary(temp, &tooMany);
    if (tooMany) {
      *error = "cannot create " + quotedName(path) + ": too many outputs open at once";
      return false;
    }
    if (fd < 0) {
      if (errno == EEXIST) continue;
      *error = "cannot create " + quotedName(path) + ": " + systemError();
      return false;
    }
    OutputStream* stream = new OutputStream;
    stream->fd = fd;
    cookie_io_functions_t functions = {nullptr, writeToStream, nullptr, closeStream};
    output->file = fopencookie(stream, "wb", functions);
    if (!output->file) {
      *error = "cannot create " + quotedName(path) + ": " + systemError();
      close(fd);
      delete stream;
      removeTemporary(temp);
      return false;
    }
    output->stream = stream;
    output->tempPath = temp;
    return true;
  }
  *error = "cannot create " + quotedName(path) + ": too many temporary files";
  return false;
}

// The replaced file's permission bits (set-id bits aside, as a write by its
// owner would clear them); a new file keeps what the umask gave it.
static void keepEarlierMode(const OutputFile* output) {
  struct stat info;
  if (stat(output->target.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  // Best effort: a filesystem without permission bits refuses, and the
  // data is what the run is for.
  (void)fchmod(output->stream->fd, info.st_mode & 0777);
}

static void releaseStream(OutputFile* output) {
  delete output->stream;
  output->stream = nullptr;
  output->file = nullptr;
}

bool finishOutput(OutputFile* output, std::string* error) {
  if (output->finished) return true;
  OutputStream* stream = output->stream;
  int failed = 0;
  if (fflush(output->file) != 0 || ferror(output->file)) failed = stream->writeErrno ? stream->writeErrno : EIO;
  if (!failed) {
    keepEarlierMode(output);
    // EINVAL: a file that cannot be synced (some special filesystems).
    if (fsync(stream->fd) != 0 && errno != EINVAL) failed = errno;
  }
  if (fclose(output->file) != 0 && !failed) failed = stream->closeErrno ? stream->closeErrno : EIO;
  releaseStream(output);
  if (failed) {
    *error = "cannot write " + quotedName(output->path) + ": " + std::strerror(failed);
    removeTemporary(output->tempPath);
    output->tempPath.clear();
    return false;
  }
  output->finished = true;
  return true;
}

void discardOutput(OutputFile* output) {
  if (output->file) fclose(output->file);
  releaseStream(output);
  if (!output->tempPath.empty()) removeTemporary(output->tempPath);
  output->tempPath.clear();
}

void discardPendingOutputs() { removeAllTemporaries(); }

// ---- Commit ------------------------------------------------------------------

// A folder holding targets, open for its lock and its sync.
struct FolderHandle {
  std::string path;
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
};

// Opens the distinct folders of the targets and locks them in the order of
// their device and inode numbers, so that runs writing to several folders
// never wait on each other in a circle.
static std::vector<FolderHandle> lockFolders(OutputFile* const* outputs, int count) {
  std::vector<FolderHandle> folders;
  for (int i = 0; i < count; i++) {
    FolderHandle folder;
    folder.path = folderOf(outputs[i]->target);
    folder.fd = open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder.fd < 0) continue;
    // A folder met before (or one that cannot be told apart) is locked once.
    struct stat info;
    bool skip = fstat(folder.fd, &info) != 0;
    for (const FolderHandle& other : folders)
      skip = skip || (other.device == info.st_dev && other.inode == info.st_ino);
    if (skip) {
      close(folder.fd);
      continue;
    }
    folder.device = info.st_dev;
    folder.inode = info.st_ino;
    folders.push_back(folder);
  }
  std::sort(folders.begin(), folders.end(), [](const FolderHandle& a, const FolderHandle& b) {
    return a.device != b.device ? a.device < b.device : a.inode < b.inode;
  });
  for (const FolderHandle& folder : folders)
    while (flock(folder.fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  return folders;
}

static void unlockFolders(std::vector<FolderHandle>& folders) {
  for (FolderHandle& folder : folders) close(folder.fd);  // releases the lock
  folders.clear();
}

// Where an output's earlier file went when the output took its place.
struct Placement {
  bool placed = false;
  std::string earlier;  // the earlier file's name now; empty when there was none
};

static int exchangeFiles(const std::string& a, const std::string& b) {
#ifdef RENAME_EXCHANGE
  return renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
#else
  (void)a;
  (void)b;
  errno = ENOSYS;
  return -1;
#endif
}

static bool replaceFailed(const OutputFile* output, int failure, std::string* error) {
  *error = "cannot replace " + quotedName(output->path) + ": " + std::strerror(failure);
  return false;
}

// Puts `output` in its target's place; the temporary's name is then free or
// holds the earlier file, and output->tempPath is cleared.
static bool placeOutput(OutputFile* output, Placement* placement, std::string* error) {
  const std::string& target = output->target;
  const std::string temp = output->tempPath;
  struct stat info;
  if (lstat(target.c_str(), &info) != 0) {
    if (rename(temp.c_str(), target.c_str()) != 0) return replaceFailed(output, errno, error);
  } else if (!unreplaceable(info.st_mode).empty()) {
    *error = "cannot replace " + quotedName(output->path) + ": " + unreplaceable(info.st_mode);
    return false;
  } else if (exchangeFiles(temp, target) == 0) {
    placement->earlier = temp;
  } else if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
    return replaceFailed(output, errno, error);
  } else {
    // No exchange on this filesystem: the earlier file steps aside first.
    std::string aside = temporaryName(target);
    if (rename(target.c_str(), aside.c_str()) != 0) return replaceFailed(output, errno, error);
    if (rename(temp.c_str(), target.c_str()) != 0) {
      int failure = errno;
      replaceFailed(output, failure, error);
      if (rename(aside.c_str(), target.c_str()) != 0) *error += "; the earlier file is kept as " + quotedName(aside);
      return false;
    }
    placement->earlier = aside;
  }
  // The temporary's name is free or holds the earlier file: no handler or
  // failed run may remove it as a temporary.
  forgetTemporary(temp);
  output->tempPath.clear();
  placement->placed = true;
  return true;
}

// Puts back what was there before `output` was placed. On failure adds to
// *error where the earlier file is.
static void undoPlacement(const OutputFile* output, const Placement& placement, std::string* error) {
  if (!placement.placed) return;
  const std::string& target = output->target;
  if (placement.earlier.empty()) {
    if (unlink(target.c_str()) != 0 && errno != ENOENT)
      *error += "; the new " + quotedName(output->path) + " could not be removed: " + systemError();
    return;
  }
  if (rename(placement.earlier.c_str(), target.c_str()) != 0)
    *error += "; the earlier " + quotedName(output->path) + " is kept as " + quotedName(placement.earlier);
}

// Makes the renames durable; false with *error set when a folder's sync
// fails (EINVAL: a folder that cannot be synced, which is left alone).
static bool syncFolders(const std::vector<FolderHandle>& folders, std::string* error) {
  for (const FolderHandle& folder : folders) {
    if (fsync(folder.fd) != 0 && errno != EINVAL) {
      *error = "cannot sync the folder " + quotedName(folder.path) + ": " + systemError();
      return false;
    }
  }
  return true;
}

// Puts every output in its target's place, or none: see the top of the file.
// Call with the cleanup signals blocked and the folders locked.
static bool placeAll(OutputFile* const* outputs, int count, const std::vector<FolderHandle>& folders,
                     std::string* error) {
  std::vector<Placement> placements(static_cast<size_t>(count));
  bool ok = true;
  for (int i = 0; i < count && ok; i++) ok = placeOutput(outputs[i], &placements[size_t(i)], error);
  ok = ok && syncFolders(folders, error);
  if (!ok) {
    for (int i = count - 1; i >= 0; i--) undoPlacement(outputs[i], placements[size_t(i)], error);
    return false;
  }
  for (const Placement& placement : placements)
    if (!placement.earlier.empty()) unlink(placement.earlier.c_str());
  return true;
}

bool commitOutputs(OutputFile* const* outputs, int count, std::string* error) {
  bool ok = true;
  for (int i = 0; i < count && ok; i++) ok = finishOutput(outputs[i], error);
  if (!ok) {
    for (int i = 0; i < count; i++) discardOutput(outputs[i]);
    return false;
  }
  // A signal while the lock is awaited ends the run as before the commit;
  // from the first rename to the last removal, signals wait.
  std::vector<FolderHandle> folders = lockFolders(outputs, count);
  sigset_t previous = blockCleanupSignals();
  for (const FolderHandle& folder : folders) removeStaleTemporaries(folder.path);
  ok = placeAll(outputs, count, folders, error);
  if (!ok)
    for (int i = 0; i < count; i++) discardOutput(outputs[i]);
  restoreSignals(previous);
  unlockFolders(folders);
  return ok;
}

bool commitOutput(OutputFile* output, std::string* error) { return commitOutputs(&output, 1, error); }

bool writeWholeFile(const void* data, uint32_t byteCount, const char* path, std::string* error) {
  OutputFile output;
  if (!openOutput(path, &output, error)) return false;
  // An empty buffer may be a null pointer, which fwrite must not get.
  if (byteCount > 0) fwrite(data, 1, byteCount, output.file);
  return commitOutput(&output, error);
}
