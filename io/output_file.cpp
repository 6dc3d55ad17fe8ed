#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace io {

namespace {

std::string folder_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void sync_folder(const std::string& path)
{
    const int dir = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    fsync(dir);  // the new name on disk; best effort, the data already is
    ::close(dir);
}

}  // namespace

std::string resolved(const std::string& path)
{
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf) != nullptr) return buf;
    // Not there yet: its folder resolved, so that "./F" and an absolute path agree.
    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (realpath(folder_of(path).c_str(), buf) != nullptr) {
        return std::string(buf) + (std::strcmp(buf, "/") == 0 ? "" : "/") + name;
    }
    return path;
}

OutputFile::OutputFile(std::string path, Kind kind, int standard_fd)
    : path_(std::move(path)), kind_(kind)
{
    if (path_ == "-" && standard_fd >= 0) {
        fd_ = standard_fd;
        own_ = false;
        return;
    }
    struct stat st {};
    const bool exists = stat(path_.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) fail("cannot open for writing", errno);
    if (exists && S_ISDIR(st.st_mode)) fail("cannot open for writing", EISDIR);
    if (exists && !S_ISREG(st.st_mode)) {
        if (kind_ == Kind::Whole) {
            throw OutputError(path_ + ": not a regular file; it is replaced whole, so it is " +
                              "left as it is");
        }
        if (!S_ISFIFO(st.st_mode) && !S_ISCHR(st.st_mode)) {
            throw OutputError(path_ + ": not a regular file, a FIFO or a character device; " +
                              "left as it is");
        }
        special_ = true;  // opened when the run starts, written in place
        return;
    }
    target_ = resolved(path_);
    regular_ = true;
    if (exists && kind_ == Kind::Append) {
        fd_ = open(target_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd_ < 0) fail("cannot open for writing", errno);
        whole_ = st.st_size;
        in_place_ = true;
        return;
    }
    // An unnamed file in the target's folder: it proves the folder writable,
    // and vanishes if the run dies before it is put in place.
    fd_ = open(folder_of(target_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
        std::string templ = target_ + ".XXXXXX";
        fd_ = mkstemp(templ.data());
        if (fd_ >= 0) temp_name_ = templ;
    }
    if (fd_ < 0) fail("cannot open for writing", errno);
    // A file replaced keeps its permissions; a new one gets the umask's.
    if (exists) fchmod(fd_, st.st_mode & 07777);
}

OutputFile::~OutputFile()
{
    release();
}

OutputFile::OutputFile(OutputFile&& other) noexcept
{
    *this = std::move(other);
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept
{
    if (this != &other) {
        release();
        path_ = std::move(other.path_);
        target_ = std::move(other.target_);
        kind_ = other.kind_;
        fd_ = std::exchange(other.fd_, -1);
        own_ = other.own_;
        special_ = std::exchange(other.special_, false);
        regular_ = other.regular_;
        in_place_ = other.in_place_;
        whole_ = other.whole_;
        writes_ = other.writes_;
        temp_name_ = std::exchange(other.temp_name_, std::string());
    }
    return *this;
}

void OutputFile::release() noexcept
{
    if (fd_ >= 0 && own_) ::close(fd_);
    fd_ = -1;
    if (!temp_name_.empty() && !in_place_) unlink(temp_name_.c_str());
    temp_name_.clear();
}

std::string OutputFile::name() const
{
    if (own_) return path_;
    return fd_ == STDOUT_FILENO ? "standard output" : "standard error";
}

void OutputFile::fail(const char* what, int error)
{
    // What was written whole stays; a torn line or record does not.
    if (regular_ && fd_ >= 0) {
        if (ftruncate(fd_, whole_) == 0) lseek(fd_, whole_, SEEK_SET);
    }
    throw OutputError(name() + ": " + what + ": " + std::strerror(error));
}

void OutputFile::put_in_place()
{
    if (!temp_name_.empty()) {
        if (rename(temp_name_.c_str(), target_.c_str()) != 0) fail("cannot put in place", errno);
        temp_name_.clear();
    } else {
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        if (kind_ == Kind::Append) {
            // A new history: made only if still absent, never over another's file.
            if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target_.c_str(), AT_SYMLINK_FOLLOW) != 0)
                fail("cannot put in place", errno);
        } else {
            // A name beside the target, then renamed over it in one step.
            std::string temp;
            for (int i = 0;; ++i) {
                temp = target_ + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(i);
                if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0)
                    break;
                if (errno != EEXIST || i == 100) fail("cannot put in place", errno);
            }
            if (rename(temp.c_str(), target_.c_str()) != 0) {
                const int error = errno;
                unlink(temp.c_str());
                fail("cannot put in place", error);
            }
        }
    }
    in_place_ = true;
    sync_folder(target_);
}

void OutputFile::start()
{
    if (special_) {
        fd_ = open(path_.c_str(), O_WRONLY | O_CLOEXEC | (kind_ == Kind::Append ? O_APPEND : 0));
        special_ = false;
        if (fd_ < 0) fail("cannot open for writing", errno);
        return;
    }
    if (fd_ >= 0 && own_ && kind_ != Kind::Whole && !in_place_) put_in_place();
}

void OutputFile::write(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("write failed", n < 0 ? errno : ENOSPC);
        done += static_cast<std::size_t>(n);
    }
    whole_ += static_cast<off_t>(bytes.size());
    ++writes_;
}

void OutputFile::sync()
{
    if (regular_ && fdatasync(fd_) != 0) fail("sync failed", errno);
}

void OutputFile::replace(const std::string& bytes)
{
    write(bytes);
    if (fsync(fd_) != 0) fail("sync failed", errno);
    put_in_place();
}

void OutputFile::close()
{
    if (fd_ < 0 || !own_) return;
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) {
        const int error = errno;
        regular_ = false;  // nothing left to cut back through
        fail("close failed", error);
    }
}

}  // namespace io
