#include "outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace bench {

namespace {

[[noreturn]] void fail(const std::string& path, const char* what, int error)
{
    throw OutputError(path + ": " + what + ": " + std::strerror(error));
}

int open_output(const std::string& path, int flags)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
    if (fd < 0) fail(path, "cannot open for writing", errno);
    return fd;
}

}  // namespace

Outputs::Outputs(const Options& opt)
    : json_path_(opt.json),
      history_path_(opt.history),
      cache_path_(opt.save_cache),
      trace_path_(opt.trace),
      record_path_(opt.record),
      page_path_(opt.report)
{
    const std::string& json = opt.json;
    const std::string& history = opt.history;
    const std::string& save_cache = opt.save_cache;
    const std::string& trace = opt.trace;
    try {
        if (!opt.record.empty()) record_fd_ = open_output(opt.record, O_TRUNC);
        if (!opt.report.empty()) page_fd_ = open_output(opt.report, O_TRUNC);
        if (trace == "-") {
            trace_fd_ = STDERR_FILENO;
        } else if (!trace.empty()) {
            trace_fd_ = open_output(trace, O_TRUNC);
        }
        if (json == "-") {
            json_fd_ = STDOUT_FILENO;
        } else if (!json.empty()) {
            json_fd_ = open_output(json, O_TRUNC);
        }
        if (!history.empty()) history_fd_ = open_output(history, O_APPEND);
        if (!save_cache.empty()) {
            // A temporary file beside the cache: proves the folder writable now,
            // and the cache is replaced whole (rename) at the end.
            std::string templ = save_cache + ".XXXXXX";
            cache_fd_ = mkstemp(templ.data());
            if (cache_fd_ < 0) fail(save_cache, "cannot write beside it", errno);
            cache_temp_ = templ;
            fchmod(cache_fd_, 0644);
        }
    } catch (...) {
        if (json_fd_ > STDOUT_FILENO) close(json_fd_);
        if (history_fd_ >= 0) close(history_fd_);
        if (trace_fd_ > STDERR_FILENO) close(trace_fd_);
        if (record_fd_ >= 0) close(record_fd_);
        if (page_fd_ >= 0) close(page_fd_);
        throw;
    }
}

Outputs::~Outputs()
{
    if (record_fd_ >= 0) close(record_fd_);
    if (page_fd_ >= 0) close(page_fd_);
    if (trace_fd_ > STDERR_FILENO) close(trace_fd_);
    if (json_fd_ > STDOUT_FILENO) close(json_fd_);
    if (history_fd_ >= 0) close(history_fd_);
    if (cache_fd_ >= 0) {
        close(cache_fd_);
        unlink(cache_temp_.c_str());
    }
}

void Outputs::write_all(int fd, const std::string& path, const void* data, std::size_t size)
{
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail(path, "write failed", n < 0 ? errno : ENOSPC);
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

void Outputs::json_line(const std::string& line)
{
    if (json_fd_ < 0) return;
    const std::string text = line + '\n';
    write_all(json_fd_, json_path_ == "-" ? "standard output" : json_path_, text.data(),
              text.size());
    ++json_lines_;
}

void Outputs::trace_line(const std::string& line)
{
    if (trace_fd_ < 0) return;
    const std::string text = line + '\n';
    write_all(trace_fd_, trace_path_ == "-" ? "standard error" : trace_path_, text.data(),
              text.size());
}

void Outputs::record_line(const std::string& line)
{
    if (record_fd_ < 0) return;
    const std::string text = line + '\n';
    write_all(record_fd_, record_path_, text.data(), text.size());
}

void Outputs::history(const std::vector<std::uint8_t>& record)
{
    if (history_fd_ < 0) return;
    write_all(history_fd_, history_path_, record.data(), record.size());
    // On disk with its round: a power cut or a kill loses nothing written.
    if (fdatasync(history_fd_) != 0 && errno != EINVAL) fail(history_path_, "sync failed", errno);
    ++history_records_;
}

std::string Outputs::finish(const std::vector<std::uint8_t>& last_record)
{
    std::string done;
    auto add = [&](const std::string& s) { done += (done.empty() ? "" : ", ") + s; };
    // Closes a file of its own (not standard output or error), checked.
    auto close_file = [&](int& fd, int first_own, const std::string& path,
                          const std::string& what) {
        if (fd < first_own) return;
        const int closing = fd;
        fd = -1;
        if (close(closing) != 0) fail(path, "close failed", errno);
        add(what);
    };
    close_file(json_fd_, STDERR_FILENO + 1, json_path_,
               std::to_string(json_lines_) + " JSON lines in " + json_path_);
    close_file(trace_fd_, STDERR_FILENO + 1, trace_path_, "the line traced in " + trace_path_);
    close_file(record_fd_, 0, record_path_, "the session recorded in " + record_path_);
    if (page_fd_ >= 0) {
        std::ostringstream page;
        page_.write(page, "vx40-bench");
        const std::string text = page.str();
        write_all(page_fd_, page_path_, text.data(), text.size());
        close_file(page_fd_, 0, page_path_, "the run pictured in " + page_path_);
    }
    close_file(history_fd_, 0, history_path_,
               std::to_string(history_records_) + " records appended to " + history_path_);
    if (cache_fd_ >= 0) {
        const int fd = cache_fd_;
        cache_fd_ = -1;
        if (last_record.empty()) {
            close(fd);
            unlink(cache_temp_.c_str());
            add("no record to save in " + cache_path_);
        } else {
            try {
                write_all(fd, cache_path_, last_record.data(), last_record.size());
                if (fsync(fd) != 0) fail(cache_path_, "sync failed", errno);
            } catch (...) {
                close(fd);
                unlink(cache_temp_.c_str());
                throw;
            }
            if (close(fd) != 0 || rename(cache_temp_.c_str(), cache_path_.c_str()) != 0) {
                const int error = errno;
                unlink(cache_temp_.c_str());
                fail(cache_path_, "cannot replace", error);
            }
            add("cache saved in " + cache_path_);
        }
    }
    return done;
}

}  // namespace bench
