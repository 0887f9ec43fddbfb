#include "common/files.hpp"

#include "common/py.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kilnguard::files {

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now, reporting the error a deferred write may only show here.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

// Everything up to and including the last "/", or "" for a bare name.
std::string folder_part(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a save has to replace: `path` itself, or the final target of the
// symbolic links it names (which need not exist yet), so the links survive.
int resolve_links(std::string& path) {
    constexpr int max_links = 40;  // as the kernel's own limit
    for (int links = 0;; ++links) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT ? 0 : errno;
        if (!S_ISLNK(info.st_mode)) return 0;
        if (links == max_links) return ELOOP;
        char target[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
        if (length < 0) return errno;
        if (static_cast<std::size_t>(length) == sizeof target) return ENAMETOOLONG;
        std::string next(target, static_cast<std::size_t>(length));
        path = next.front() == '/' ? next : folder_part(path) + next;
    }
}

// Temporary files of a target are named "." + its name (cut so the whole stays
// within NAME_MAX) + "." + pid "-" sequence "-" nanoseconds + ".tmp".
std::string temporary_prefix(const std::string& target) {
    const std::size_t folder_length = folder_part(target).size();
    return "." + target.substr(folder_length).substr(0, 180) + ".";
}

// Whether `name` is one of ours: the prefix, three runs of digits joined by
// "-", and ".tmp".
bool is_temporary_name(std::string_view name, std::string_view prefix) {
    if (!name.starts_with(prefix) || !name.ends_with(".tmp")) return false;
    name = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    int runs = 0;
    bool in_digits = false;
    for (char c : name) {
        if (c >= '0' && c <= '9') {
            if (!in_digits) ++runs;
            in_digits = true;
        } else if (c == '-' && in_digits) {
            in_digits = false;
        } else {
            return false;
        }
    }
    return runs == 3 && in_digits;
}

// Saves killed between creating their temporary file and the rename leave it
// behind. Only files of our own naming pattern for this very target, and only
// those untouched for a minute (no save takes that long), are removed.
void remove_stale_temporaries(const std::string& target) {
    constexpr time_t stale_after_seconds = 60;
    const std::string folder = folder_part(target);
    const std::string prefix = temporary_prefix(target);
    DIR* listing = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!listing) return;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    while (const dirent* entry = ::readdir(listing)) {
        if (!is_temporary_name(entry->d_name, prefix)) continue;
        struct stat info {};
        if (::fstatat(::dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(info.st_mode) || now.tv_sec - info.st_mtime < stale_after_seconds) continue;
        ::unlinkat(::dirfd(listing), entry->d_name, 0);
    }
    ::closedir(listing);
}

// A new, empty file next to `target`, created as open(..., 0666) creates
// files (the umask applies). Its name is returned in `name`.
int create_temporary(const std::string& target, std::string& name, int& fd) {
    static std::atomic<unsigned> sequence{0};
    const std::string start = folder_part(target) + temporary_prefix(target);
    for (int attempt = 0; attempt < 100; ++attempt) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        name = start + std::to_string(::getpid()) + "-" + std::to_string(sequence++) + "-" +
               std::to_string(now.tv_nsec) + ".tmp";
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return 0;
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

int write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return 0;
}

const char* kind_of(mode_t mode) {
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "something other than a regular file";
}

// Fills the temporary file: content, then the old file's owner and
// permission bits, then the data on disk before the rename makes it visible.
int fill_temporary(int fd, std::string_view content, const struct stat* old) {
    if (int error = write_all(fd, content)) return error;
    if (old) {
        // Keeping the owner works only with the right to give files away;
        // without it the file stays ours, as a rewrite by its owner would.
        if (old->st_uid != ::geteuid() || old->st_gid != ::getegid()) {
            [[maybe_unused]] const int kept_owner = ::fchown(fd, old->st_uid, old->st_gid);
        }
        if (::fchmod(fd, old->st_mode & 07777) != 0) return errno;
    }
    if (::fsync(fd) != 0) return errno;
    return 0;
}

}  // namespace

std::string encode_path(nb::handle path) {
    nb::object bytes = py::steal_or_throw(PyUnicode_EncodeFSDefault(path.ptr()));
    std::string encoded(PyBytes_AS_STRING(bytes.ptr()),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
    if (encoded.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        throw nb::python_error();
    }
    return encoded;
}

bool is_regular_file(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The whole content of the file at `path`, or nothing when it is not a
// regular file (links followed) or cannot be read.
std::optional<std::string> read_regular_file(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    // O_NONBLOCK and the second check keep a FIFO swapped in after the first
    // check from blocking the pass.
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    std::string content;
    content.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    while (true) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got == 0) return content;
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        content.append(buffer, static_cast<std::size_t>(got));
    }
}

Failure replace_file(std::string path, std::string_view content) {
    auto failed = [](int error) { return Failure{error, nullptr}; };
    if (path.empty()) return failed(ENOENT);
    if (int error = resolve_links(path)) return failed(error);

    struct stat old {};
    const bool exists = ::stat(path.c_str(), &old) == 0;
    if (exists) {
        if (S_ISDIR(old.st_mode)) return failed(EISDIR);
        // A device, a FIFO or a socket is never ours to replace: the rename
        // would destroy it (as root, /dev/null itself).
        if (!S_ISREG(old.st_mode)) return Failure{0, kind_of(old.st_mode)};
        // A file its owner made read-only is not ours to replace, even though
        // the folder would allow the rename.
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return failed(errno);
    } else if (errno != ENOENT) {
        return failed(errno);
    }

    std::string temporary;
    int fd = -1;
    if (int error = create_temporary(path, temporary, fd)) return failed(error);
    Descriptor file(fd);
    int error = fill_temporary(fd, content, exists ? &old : nullptr);
    if (const int closed = file.close(); !error) error = closed;
    if (!error && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error) {
        ::unlink(temporary.c_str());
        return failed(error);
    }
    remove_stale_temporaries(path);

    // Make the rename itself durable. The new document is already in place,
    // so a failure here (some file systems cannot sync a folder) is no
    // failure of the save.
    const std::string folder = folder_part(path);
    Descriptor directory(::open(folder.empty() ? "." : folder.c_str(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) ::fsync(directory.get());
    return Failure{};
}

}  // namespace kilnguard::files
