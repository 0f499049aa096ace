#include "OutputFile.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <streambuf>
#include <vector>

namespace nimbusdale::app {
namespace {

// Temporary files open in this process, for the signal handler to remove. A fixed table of
// atomics and character arrays, so the handler reads it without locks or allocation: a slot's
// path is only read while its state is kReady. Enough for a batch's jobs (at most kMaxThreads,
// one output each) and a manifest. Static storage starts zeroed, every slot kFree; no
// initialiser, so loading the program does not write (and fault in) the table's 1.1 MB.
constexpr int kSlots = 272;
enum SlotState { kFree = 0, kFilling = 1, kReady = 2 };
struct TemporarySlot {
  std::atomic<int> state;
  char path[PATH_MAX];
};
TemporarySlot temporaries[kSlots];
// Interruptions, plus the two signals a write itself can raise (a FIFO's reader gone, the file
// size limit reached), which would otherwise end the process with temporary files left behind.
const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Removes every temporary file, then dies of the same signal with its default action, so the
// parent sees the usual status (130 for SIGINT, 143 for SIGTERM in a shell). Only unlink(),
// sigaction() and raise() here: all async-signal-safe.
extern "C" void removeTemporariesAndDie(int sig) {
  for (TemporarySlot& slot : temporaries)
    if (slot.state.load() == kReady) unlink(slot.path);
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(sig, &fallback, nullptr);
  raise(sig);  // blocked until the handler returns, then fatal
}

// Signals the caller chose to ignore (nohup, a background job) stay ignored.
void installCleanupHandlers() {
  struct sigaction action {};
  action.sa_handler = removeTemporariesAndDie;
  sigemptyset(&action.sa_mask);
  for (int sig : kCleanupSignals) sigaddset(&action.sa_mask, sig);
  for (int sig : kCleanupSignals) {
    struct sigaction previous {};
    if (sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(sig, &action, nullptr);
  }
}

std::atomic<bool> signalCleanup{true};
std::once_flag cleanupInstalled;

// Registers `path` before the file is made, so no moment exists where the file is there but
// the handler does not know it. Returns the slot.
int registerTemporary(const std::string& path) {
  installSignalCleanup();
  if (path.size() >= PATH_MAX) throw std::runtime_error("path too long: " + path);
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!temporaries[i].state.compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(temporaries[i].path, path.c_str(), path.size() + 1);
    temporaries[i].state.store(kReady);
    return i;
  }
  throw std::runtime_error("too many temporary files open at once");
}

void releaseTemporary(int slot) {
  if (slot >= 0) temporaries[slot].state.store(kFree);
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "neither a regular file, a FIFO nor a character device";
}

}  // namespace

// Buffered text onto the file. A failed write is kept (the stream goes bad and later output is
// dropped) for finish() to report.
class OutputFile::Buffer : public std::streambuf {
 public:
  explicit Buffer(OutputFile& file) : file(file), bytes(1 << 16) { reset(); }
  int error = 0;

  // Writes what is buffered; false once any write has failed.
  bool drain() {
    const size_t pending = static_cast<size_t>(pptr() - pbase());
    if (error == 0 && pending > 0) error = file.writeAll(pbase(), pending);
    reset();
    return error == 0;
  }

 private:
  void reset() { setp(bytes.data(), bytes.data() + bytes.size()); }
  int overflow(int ch) override {
    if (!drain()) return traits_type::eof();
    if (ch != traits_type::eof()) {
      *pptr() = static_cast<char>(ch);
      pbump(1);
    }
    return traits_type::not_eof(ch);
  }
  int sync() override { return drain() ? 0 : -1; }

  OutputFile& file;
  std::vector<char> bytes;
};

void setSignalCleanup(bool enabled) {
  signalCleanup = enabled;
}

void installSignalCleanup() {
  if (signalCleanup.load()) std::call_once(cleanupInstalled, installCleanupHandlers);
}

std::string followLinks(const std::string& path) {
  std::string current = path;
  std::vector<char> link(PATH_MAX + 1);
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    if (hops == 40) throw std::runtime_error("cannot write " + path + ": " + std::strerror(ELOOP));
    const ssize_t size = readlink(current.c_str(), link.data(), link.size() - 1);
    if (size < 0) return current;
    std::string next(link.data(), static_cast<size_t>(size));
    current = next.front() == '/' ? next : folderOf(current) + next;
  }
}

bool FileIdentity::operator==(const FileIdentity& other) const {
  return known && other.known && exists == other.exists && device == other.device &&
         inode == other.inode && newName == other.newName;
}

FileIdentity identify(const std::string& path) {
  FileIdentity id;
  std::string target;
  try {
    target = followLinks(path);
  } catch (const std::runtime_error&) {
    return id;
  }
  struct stat st {};
  if (stat(target.c_str(), &st) == 0) {
    id.known = id.exists = true;
    id.characterDevice = S_ISCHR(st.st_mode);
    id.device = st.st_dev;
    id.inode = st.st_ino;
    return id;
  }
  if (errno != ENOENT) return id;
  const std::string folder = folderOf(target);
  if (stat(folder.empty() ? "." : folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return id;
  id.known = true;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.newName = target.substr(folder.size());
  return id;
}

OutputFile::OutputFile(std::string path, std::string what)
    : path_(std::move(path)), what_(std::move(what)) {
  if (path_.empty()) fail("no file name given");
  if (path_ == "-") {
    // Standard output, written as a stream like a FIFO.
    target_ = path_;
    fd_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (fd_ < 0) fail(std::strerror(errno));
    buffer_ = std::make_unique<Buffer>(*this);
    stream_ = std::make_unique<std::ostream>(buffer_.get());
    return;
  }
  target_ = followLinks(path_);
  try {
    struct stat st {};
    if (stat(target_.c_str(), &st) == 0) {
      if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0) fail(std::strerror(errno));
      } else if (S_ISREG(st.st_mode)) {
        openTemporary(&st);
      } else {
        fail("it is " + kindOf(st.st_mode) +
             "; outputs go to a regular file, a FIFO or a character device");
      }
    } else if (errno == ENOENT) {
      openTemporary(nullptr);
    } else {
      fail(std::strerror(errno));
    }
    buffer_ = std::make_unique<Buffer>(*this);
    stream_ = std::make_unique<std::ostream>(buffer_.get());
  } catch (...) {
    discard();
    throw;
  }
}

OutputFile::~OutputFile() {
  discard();
}

// The temporary file beside the target: NAME.partial-PID, or NAME.partial-PID-N when that is
// taken. A replaced file's owner (when allowed) and permission bits carry over.
void OutputFile::openTemporary(const struct stat* replaced) {
  const std::string folder = folderOf(target_);
  const std::string base = target_ + ".partial-" + std::to_string(getpid());
  for (int attempt = 0; fd_ < 0; ++attempt) {
    const std::string name = attempt ? base + "-" + std::to_string(attempt) : base;
    slot_ = registerTemporary(name);
    fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, replaced ? 0600 : 0666);
    if (fd_ >= 0) {
      temporary_ = name;
      break;
    }
    const int error = errno;
    releaseTemporary(slot_);
    slot_ = -1;
    if (error == EEXIST && attempt < 100) continue;
    if (error == ENOENT) fail("folder " + (folder.empty() ? "." : folder) + " does not exist");
    fail("cannot create a file in folder " + (folder.empty() ? "." : folder) + ": " +
         std::strerror(error));
  }
  if (!replaced) return;
  if (replaced->st_uid != geteuid() || replaced->st_gid != getegid()) {
    if (fchown(fd_, replaced->st_uid, replaced->st_gid) != 0) {
      // Only the superuser may give a file away; the new file stays ours.
    }
  }
  if (fchmod(fd_, replaced->st_mode & 07777) != 0) fail(std::strerror(errno));
}

void OutputFile::discard() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!committed_ && !temporary_.empty()) unlink(temporary_.c_str());
  releaseTemporary(slot_);
  slot_ = -1;
}

void OutputFile::fail(const std::string& reason) {
  broken_ = true;
  std::string name = path_;
  if (!target_.empty() && target_ != path_) name += " (a link to " + target_ + ")";
  throw std::runtime_error("cannot write " + (what_.empty() ? "" : what_ + " ") + name + ": " +
                           reason);
}

int OutputFile::writeAll(const char* data, size_t size) noexcept {
  if (fd_ < 0) return EBADF;
  while (size > 0) {
    const ssize_t wrote = ::write(fd_, data, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) return errno;
    if (wrote == 0) return EIO;
    data += wrote;
    size -= static_cast<size_t>(wrote);
  }
  return 0;
}

void OutputFile::write(const void* data, size_t size) {
  if (finished_) fail("written after it was closed");
  if (!buffer_->drain()) fail(std::strerror(buffer_->error));
  if (const int error = writeAll(static_cast<const char*>(data), size)) {
    buffer_->error = error;
    fail(std::strerror(error));
  }
}

void OutputFile::writeBehind() noexcept {
#ifdef __linux__
  if (fd_ >= 0 && !streaming()) sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

std::ostream& OutputFile::stream() {
  return *stream_;
}

void OutputFile::finish() {
  if (broken_) fail("an earlier write failed");
  if (finished_) return;
  stream_->flush();
  if (!buffer_->drain()) fail(std::strerror(buffer_->error));
  if (!streaming() && fsync(fd_) != 0) fail(std::strerror(errno));
  const int fd = fd_;
  fd_ = -1;
  finished_ = true;
  if (::close(fd) != 0) fail(std::strerror(errno));
}

void OutputFile::commit() {
  if (committed_) return;
  finish();
  if (!streaming() && std::rename(temporary_.c_str(), target_.c_str()) != 0) {
    const int error = errno;
    discard();
    fail(std::strerror(error));
  }
  committed_ = true;
  releaseTemporary(slot_);
  slot_ = -1;
}

}  // namespace nimbusdale::app
