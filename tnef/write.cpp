#include "write.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "path.h"

namespace tessaro::tnef {

namespace {

[[noreturn]] void failed(const std::string& path, int error, const Context& ctx) {
  stop(ctx, "%s: %s\n", path.c_str(), std::strerror(error));
}

}  // namespace

void file_write(File& file, std::string_view folder, const Context& ctx) {
  file.path = concat_fname(folder, munge_fname(file.name));
  // O_EXCL and O_NOFOLLOW: neither an existing file nor a planted link is ever written through.
  const int fd = ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int error = errno;
    if (error == EEXIST) {
      report(ctx, "tnef: %s: Could not create file: File exists\n", file.path.c_str());
      return;
    }
    failed(file.path, error, ctx);
  }
  size_t done = 0;
  while (done < file.data.size()) {
    const ssize_t written = ::write(fd, file.data.data() + done, file.data.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const int error = written < 0 ? errno : EIO;
      ::close(fd);
      failed(file.path, error, ctx);
    }
    done += static_cast<size_t>(written);
  }
  if (::close(fd) != 0) failed(file.path, errno, ctx);
}

}  // namespace tessaro::tnef
