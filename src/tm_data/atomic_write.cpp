#include "tm_data/atomic_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace tm_data {
namespace {

std::string os_text(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, not always in the buffer given.
  return ::strerror_r(error, buffer, sizeof buffer);
}

// The file a write to `path` lands in: the target of a symbolic link, else
// `path` itself.
std::string resolve(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      std::string resolved = real;
      std::free(real);
      return resolved;
    }
  }
  return path;
}

bool write_all(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// A name in the target's directory that no other writer uses: the hidden
// target name (shortened to stay within name limits), the process id and a
// per-process sequence number.
std::string temporary_name(const std::string& directory, const std::string& base) {
  static std::atomic<unsigned long> sequence{0};
  return directory + "/." + base.substr(0, 128) + ".tmp-" + std::to_string(::getpid()) + "-" +
         std::to_string(sequence.fetch_add(1));
}

}  // namespace

std::optional<std::string> write_file(const std::string& path,
                                      std::span<const std::uint8_t> bytes) {
  const std::string target = resolve(path);
  const std::size_t slash = target.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

  // A file the caller may not write stays as it is, as it would under a write
  // in place, although the directory would allow replacing it.
  struct stat existing;
  const bool replacing = ::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
  if (replacing && ::access(target.c_str(), W_OK) != 0) return os_text(errno);

  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = temporary_name(directory, base);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return os_text(errno);
  }
  if (fd < 0) return os_text(EEXIST);

  // A replaced file keeps its permission bits; a new one gets 0666 less the umask.
  if (replacing) (void)::fchmod(fd, existing.st_mode & 07777);

  int error = 0;
  if (!write_all(fd, bytes.data(), bytes.size()) || ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return os_text(error);
  }

  // Make the rename itself durable; the file is complete either way.
  const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    (void)::fsync(dir_fd);
    ::close(dir_fd);
  }
  return std::nullopt;
}

}  // namespace tm_data
