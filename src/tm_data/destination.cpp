#include "tm_data/destination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <utility>

namespace tm_data {
namespace {

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The name a replacement renames onto: `path` with symbolic links in its last
// component followed until a name that is not a link (which need not exist).
// Sets `descriptor` when a link points into /proc, where a link names an open
// file rather than a place in a directory. Returns 0 or an errno value.
int follow_links(const std::string& path, std::string& out, bool& descriptor) {
  out = path;
  descriptor = false;
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st;
    if (::lstat(out.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
    char link[PATH_MAX];
    const ssize_t n = ::readlink(out.c_str(), link, sizeof link - 1);
    if (n < 0) return errno;
    const std::string next(link, static_cast<std::size_t>(n));
    if (next.starts_with("/proc/")) descriptor = true;
    out = next.starts_with("/") ? next : directory_of(out) + "/" + next;
  }
  return ELOOP;
}

// A name in the target's directory that no other writer uses: the hidden
// target name (shortened to stay within name limits), the process id and a
// per-process sequence number.
std::string temporary_name(const std::string& target) {
  static std::atomic<unsigned long> sequence{0};
  const std::size_t slash = target.rfind('/');
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  return directory_of(target) + "/." + base.substr(0, 128) + ".tmp-" + std::to_string(::getpid()) +
         "-" + std::to_string(sequence.fetch_add(1));
}

// Opens `path` for writing in place, creating or truncating it. A FIFO is
// opened without blocking so that waiting for its reader can be given up.
int open_in_place(const std::string& path, bool fifo, const StopAsked& stop) {
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  if (!fifo) return ::open(path.c_str(), flags, 0666);
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK, 0666);
    if (fd >= 0) {
      (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    if (errno != ENXIO) return -1;  // ENXIO: no reader yet
    if (stop && stop()) {
      errno = EINTR;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Creates the temporary file that will replace `target`, with the replaced
// file's owner and permission bits when `existing` is set. -1 with errno set
// when it cannot be created; -2 when the owner cannot be kept.
int open_replacement(const std::string& target, const struct stat* existing,
                     std::string& temporary) {
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = temporary_name(target);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return -1;
  }
  if (fd < 0) return -1;
  if (existing == nullptr) return fd;
  // The owner first: changing it clears the set-user-id and set-group-id bits.
  if ((existing->st_uid != ::geteuid() || existing->st_gid != ::getegid()) &&
      ::fchown(fd, existing->st_uid, existing->st_gid) != 0) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return -2;
  }
  (void)::fchmod(fd, existing->st_mode & 07777);
  return fd;
}

}  // namespace

std::string os_error_text(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, not always in the buffer given.
  return ::strerror_r(error, buffer, sizeof buffer);
}

DestinationResult Destination::open(const std::string& path, const StopAsked& stop) {
  std::string target;
  bool descriptor = false;
  if (const int error = follow_links(path, target, descriptor)) return os_error_text(error);
  struct stat st;
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return os_error_text(errno);
  const bool replace = !descriptor && (!exists || (S_ISREG(st.st_mode) && st.st_nlink == 1));
  if (replace) {
    // A file the caller may not write stays as it is, as it would under a
    // write in place, although the directory would allow replacing it.
    if (exists && ::access(target.c_str(), W_OK) != 0) return os_error_text(errno);
    std::string temporary;
    const int fd = open_replacement(target, exists ? &st : nullptr, temporary);
    if (fd >= 0) return Destination(fd, true, std::move(target), std::move(temporary));
    if (fd == -1) return os_error_text(errno);
    // The owner cannot be kept: written in place, as open() would write it.
  }
  const int fd = open_in_place(path, exists && S_ISFIFO(st.st_mode), stop);
  if (fd < 0) return os_error_text(errno);
  const bool seekable = !exists || S_ISREG(st.st_mode);
  return Destination(fd, seekable, std::move(target), std::string());
}

Destination::Destination(int fd, bool seekable, std::string target, std::string temporary)
    : fd_(fd), seekable_(seekable), target_(std::move(target)), temporary_(std::move(temporary)) {}

Destination::Destination(Destination&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      seekable_(other.seekable_),
      target_(std::move(other.target_)),
      temporary_(std::exchange(other.temporary_, std::string())) {}

Destination& Destination::operator=(Destination&& other) noexcept {
  if (this != &other) {
    discard();
    fd_ = std::exchange(other.fd_, -1);
    seekable_ = other.seekable_;
    target_ = std::move(other.target_);
    temporary_ = std::exchange(other.temporary_, std::string());
  }
  return *this;
}

Destination::~Destination() { discard(); }

void Destination::discard() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

std::optional<std::string> Destination::write(std::span<const std::uint8_t> bytes) {
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  while (n > 0) {
    const ssize_t w = ::write(fd_, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return os_error_text(errno);
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return std::nullopt;
}

std::optional<std::string> Destination::commit() {
  int error = 0;
  // Devices and pipes have nothing to flush (fsync refuses them with EINVAL).
  if (seekable_ && ::fsync(fd_) != 0) error = errno;
  if (::close(std::exchange(fd_, -1)) != 0 && error == 0) error = errno;
  if (error == 0 && !temporary_.empty() && ::rename(temporary_.c_str(), target_.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    discard();
    return os_error_text(error);
  }
  if (temporary_.empty()) return std::nullopt;
  temporary_.clear();
  // Make the rename itself durable; the file is complete either way.
  const int dir_fd = ::open(directory_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    (void)::fsync(dir_fd);
    ::close(dir_fd);
  }
  return std::nullopt;
}

}  // namespace tm_data
