// The state file: the rates of the last pass, kept between runs. Loading
// forgives what a crash, a cut-off write or a stray edit can leave behind,
// since losing one comparison is better than stopping the monitor; saving
// replaces the file atomically, so there is never a half-written document to
// forgive in the first place.
#include "burn/operations.hpp"

#include "common/json_read.hpp"
#include "common/json_write.hpp"
#include "common/py.hpp"
#include "names.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kilnguard::burn {

namespace {

const py::Key owner_burn_rate{"owner_burn_rate"};
const py::Key updated_at_utc{"updated_at_utc"};

// ------------------------------------------------------------ file system
// These run with the GIL released and report failures as errno values.

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

// A new, empty file next to `target`, created as open(..., 0666) creates
// files (the umask applies). Its name is returned in `name`.
int create_temporary(const std::string& target, std::string& name, int& fd) {
    static std::atomic<unsigned> sequence{0};
    const std::string folder = folder_part(target);
    // Cut long names so the temporary name stays within NAME_MAX.
    const std::string base = target.substr(folder.size()).substr(0, 180);
    for (int attempt = 0; attempt < 100; ++attempt) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        name = folder + "." + base + "." + std::to_string(::getpid()) + "-" +
               std::to_string(sequence++) + "-" + std::to_string(now.tv_nsec) + ".tmp";
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

// Replaces the file at `path` with `content`: the old document or the new one
// is there at every instant, and on failure the old one is left untouched.
int replace_file(std::string path, std::string_view content) {
    if (path.empty()) return ENOENT;
    if (int error = resolve_links(path)) return error;

    struct stat old {};
    const bool exists = ::stat(path.c_str(), &old) == 0;
    if (exists) {
        if (S_ISDIR(old.st_mode)) return EISDIR;
        // A file its owner made read-only is not ours to replace, even though
        // the folder would allow the rename.
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return errno;
    } else if (errno != ENOENT) {
        return errno;
    }

    std::string temporary;
    int fd = -1;
    if (int error = create_temporary(path, temporary, fd)) return error;
    Descriptor file(fd);
    int error = fill_temporary(fd, content, exists ? &old : nullptr);
    if (const int closed = file.close(); !error) error = closed;
    if (!error && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error) {
        ::unlink(temporary.c_str());
        return error;
    }

    // Make the rename itself durable. The new document is already in place,
    // so a failure here (some file systems cannot sync a folder) is no
    // failure of the save.
    const std::string folder = folder_part(path);
    Descriptor directory(::open(folder.empty() ? "." : folder.c_str(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) ::fsync(directory.get());
    return 0;
}

// ------------------------------------------------------------ Python side

// The path's bytes as the file system takes them (the file-system encoding
// with surrogateescape, as open() encodes a str); raises as open() does for a
// path that cannot be encoded or holds a NUL character.
std::string encoded_path(nb::handle path) {
    nb::object bytes = nb::steal(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!bytes.is_valid()) throw nb::python_error();
    std::string encoded(PyBytes_AS_STRING(bytes.ptr()),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
    if (encoded.find('\0') != std::string::npos)
        py::raise(PyExc_ValueError, "embedded null byte");
    return encoded;
}

const char* json_kind(nb::handle value) {
    PyObject* v = value.ptr();
    if (v == Py_None) return "null";
    if (PyBool_Check(v)) return "boolean";
    if (PyLong_Check(v) || PyFloat_Check(v)) return "number";
    if (PyUnicode_Check(v)) return "string";
    return "array";
}

}  // namespace

nb::dict load_burn_state(nb::handle path_arg) {
    nb::str path = py::ArgCheck{names::load_burn_state}.text("path", path_arg);

    std::string encoded;
    try {
        encoded = encoded_path(path);
    } catch (nb::python_error& error) {
        // A path that cannot even be named names no regular file.
        if (!error.matches(PyExc_ValueError)) throw;
        return nb::dict();
    }
    std::optional<std::string> content;
    {
        nb::gil_scoped_release unlocked;
        content = read_regular_file(encoded);
    }
    if (!content) return nb::dict();

    // Bytes that are not UTF-8 are not the kind of damage our own saves can
    // leave, so they are reported rather than forgiven.
    json::require_utf8(*content);
    nb::object document;
    try {
        document = json::read(*content);
    } catch (const json::SyntaxError&) {
        return nb::dict();
    }
    if (!PyDict_Check(document.ptr()))
        py::raise(PyExc_TypeError, "burn state file %R holds a JSON %s, not an object", path.ptr(),
                  json_kind(document));

    std::optional<nb::object> stored = py::member(document, owner_burn_rate);
    nb::dict burns;
    if (!stored || !PyDict_Check(stored->ptr())) return burns;
    for (auto [netuid, rate] : nb::borrow<nb::dict>(*stored)) burns[netuid] = py::text_form(rate);
    return burns;
}

void save_burn_state(nb::handle path_arg, nb::handle burns_arg, nb::handle updated_at_arg) {
    const py::ArgCheck check{names::save_burn_state};
    nb::str path = check.text("path", path_arg);
    nb::dict burns = check.dict("burns", burns_arg);
    nb::str updated_at = check.text("updated_at", updated_at_arg);

    // The whole document first: a value with no JSON form fails here, before
    // the file system is touched.
    nb::dict document;
    document[owner_burn_rate] = burns;
    document[updated_at_utc] = updated_at;
    std::string content = json::write_indented_sorted(document);
    content.push_back('\n');

    std::string encoded = encoded_path(path);
    int error = 0;
    {
        nb::gil_scoped_release unlocked;
        error = replace_file(std::move(encoded), content);
    }
    if (error) {
        errno = error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        throw nb::python_error();
    }
}

}  // namespace kilnguard::burn
