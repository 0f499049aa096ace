// Output files of the tool (audio, spectrogram picture, diagnostics), written so that a failure
// or a signal leaves nothing behind and the path given keeps its kind.
#ifndef NIMBUSDALE_APPS_OUTPUTFILE_H
#define NIMBUSDALE_APPS_OUTPUTFILE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>

namespace nimbusdale::app {

/// One output destination, chosen by what `path` names once symbolic links are followed (chains
/// too, and a last link that names a file not made yet):
///
/// - a regular file or a new name: the bytes go to a temporary file in the target's folder
///   (`NAME.partial-PID`), renamed over the target by commit(); a replaced file keeps its
///   permission bits, and a symbolic link on the way keeps pointing at the new file;
/// - a FIFO or a character device: opened for writing as it is (no create, no truncate) and
///   written directly, as a stream;
/// - anything else (a folder, a block device, a socket): refused;
/// - "-": standard output, written directly, as a stream.
///
/// Every write, flush and close is checked; the first failure throws std::runtime_error
/// "cannot write [WHAT ]PATH: REASON" with the system's reason. Temporary files are removed when
/// the object goes without a commit, and by SIGINT, SIGTERM, SIGHUP or SIGPIPE, after
/// which the process still dies of the signal (see the .cpp).
class OutputFile {
 public:
  /// Opens the destination. `what` names the output in messages ("spectrogram", ...), or is
  /// empty. Opening a FIFO waits for its reader, as any writer does.
  explicit OutputFile(std::string path, std::string what = "");
  /// Without a commit: closes and removes the temporary file, if any.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  /// Writes all `size` bytes, after whatever stream() holds. Throws on failure.
  void write(const void* data, size_t size);
  /// Starts writing to disk what the temporary file holds so far, without waiting for it, so
  /// that finish()'s sync has little left to wait for. Does nothing for a stream, or where the
  /// system offers no such hint.
  void writeBehind() noexcept;
  /// A buffered stream onto the file, for text. Its failures are kept and thrown by finish().
  std::ostream& stream();
  /// Flushes stream(), syncs a temporary file to disk and closes it; throws on any failure
  /// (including an earlier one of stream()). Nothing is renamed yet, so several outputs can all
  /// be finished before any of them replaces its target.
  void finish();
  /// finish(), then the temporary file is renamed over the target. Throws on failure, after
  /// removing the temporary file.
  void commit();

  const std::string& path() const { return path_; }
  /// True when the bytes go straight to a FIFO, a character device or standard output.
  bool streaming() const { return temporary_.empty(); }
  /// The open descriptor, for writers that need one (libsndfile seeks in a temporary file);
  /// anything written through it must come after what stream() holds is written.
  int descriptor() const { return fd_; }

 private:
  class Buffer;
  void openTemporary(const struct stat* replaced);
  void discard() noexcept;
  [[noreturn]] void fail(const std::string& reason);
  int writeAll(const char* data, size_t size) noexcept;

  std::string path_, what_, target_, temporary_;
  int fd_ = -1;
  int slot_ = -1;  // registry slot of temporary_
  bool finished_ = false, committed_ = false, broken_ = false;
  std::unique_ptr<Buffer> buffer_;
  std::unique_ptr<std::ostream> stream_;
};

/// Whether OutputFile installs its signal handlers when it makes its first temporary file (on by
/// default). A process that owns its signals, such as a Python interpreter, turns it off before
/// making any output: a signal then leaves the temporary files of outputs under way behind.
void setSignalCleanup(bool enabled);

/// Installs now, once per process, the signal handlers OutputFile otherwise installs with its
/// first temporary file (nothing once setSignalCleanup(false)). Code that takes these signals
/// itself calls it first, so that the handlers it replaces, and may hand a signal on to, are
/// these: installed later, they would replace its own.
void installSignalCleanup();

/// What a path names, to tell whether two paths are the same file: the device and inode of the
/// file symbolic links lead to, or, for a file not made yet, its folder's device and inode and
/// its name. Paths whose folder does not exist have an identity equal to no other.
struct FileIdentity {
  bool known = false;
  bool exists = false;
  bool characterDevice = false;
  dev_t device = 0;
  ino_t inode = 0;
  std::string newName;  ///< the name in its folder, for a file not made yet
  bool operator==(const FileIdentity& other) const;
};
FileIdentity identify(const std::string& path);

/// The path a symbolic link chain at the end of `path` leads to (`path` itself when it is not a
/// link). A relative link is read from the link's folder. Throws std::runtime_error after 40
/// links.
std::string followLinks(const std::string& path);

}  // namespace nimbusdale::app

#endif
