#include "Files.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace {

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// The file a replacement must write: the target of a symbolic link, so that
// the link stays a link.
std::string ResolveLink(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            std::string resolved = real;
            std::free(real);
            return resolved;
        }
    }
    return path;
}

bool Fail(std::string* error, const std::string& path, const std::string& call, int err) {
    if (error)
        *error = "cannot replace " + path + ": " + call + ": " + std::strerror(err);
    errno = err;
    return false;
}

} // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, size_t limit, bool* tooLarge) {
    if (tooLarge)
        *tooLarge = false;
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    const auto refuse = [&](int err) -> std::optional<std::string> {
        ::close(fd);
        if (err == EFBIG && tooLarge)
            *tooLarge = true;
        errno = err;
        return std::nullopt;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return refuse(errno);
    if (!S_ISREG(st.st_mode))
        return refuse(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (static_cast<unsigned long long>(st.st_size) > limit)
        return refuse(EFBIG);

    std::string bytes;
    // Files under /proc state size 0, so the size is only a hint.
    bytes.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return refuse(errno);
        if (n == 0)
            break;
        // The file may have grown since fstat.
        if (static_cast<size_t>(n) > limit - bytes.size())
            return refuse(EFBIG);
        bytes.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return bytes;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view contents, unsigned mode,
                           std::string* error) {
    static std::atomic<unsigned> counter{0};
    const std::string target = ResolveLink(path);
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode))
        return Fail(error, path, "not a regular file", S_ISDIR(st.st_mode) ? EISDIR : EINVAL);

    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string prefix = (slash == std::string::npos ? std::string() : folder) + "." +
                               (slash == std::string::npos ? target : target.substr(slash + 1)) +
                               ".tmp" + std::to_string(::getpid()) + "-";
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = prefix + std::to_string(counter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int err = errno;
        return Fail(error, path, "create temporary file " + temp, err);
    }

    const auto abandon = [&](const std::string& call, int err) {
        ::unlink(temp.c_str());
        return Fail(error, path, call, err);
    };
    if (!WriteAll(fd, contents)) {
        const int err = errno;
        ::close(fd);
        return abandon("write " + temp, err);
    }
    if (exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
        // Owner first: changing it clears set-id bits that fchmod then sets.
        // An ordinary user may not give a file away; the file becomes theirs.
        if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        }
    }
    if (::fchmod(fd, static_cast<mode_t>(mode & 07777)) != 0) {
        const int err = errno;
        ::close(fd);
        return abandon("fchmod " + temp, err);
    }
    if (::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        return abandon("fsync " + temp, err);
    }
    if (::close(fd) != 0) {
        const int err = errno;
        return abandon("close " + temp, err);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        return abandon("rename " + temp + " to " + target, err);
    }

    // Makes the rename itself durable; the data is on disk already, so a
    // failure here loses nothing that was promised.
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

} // namespace corvane
