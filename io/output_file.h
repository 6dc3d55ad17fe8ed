// One output file of the tools, written so that nothing is lost or
// destroyed. Nothing at its path changes before start() (streams, appended
// files) or replace() (whole files): it is made ready first, in an unnamed
// file in the target's folder or an existing file opened for appending.
//   A stream is put in place at start() and written a whole line per
//   write; a failed write cuts it back to its last whole line.
//   An appended file takes whole records, each synced when asked.
//   A whole file replaces its target at the end, written, synced and renamed
//   over it; a symbolic link's target is replaced and the link kept.
// A killed run leaves whole lines and records, and no half or stray file.
#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>

namespace io {

// An output that cannot be opened or written: the message names the path
// and the reason.
struct OutputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class OutputFile {
public:
    enum class Kind { Stream, Append, Whole };
    OutputFile() = default;  // no output
    // Makes the file ready without touching the target. "-" is `standard_fd`
    // (standard output or error). A folder, or for a whole file anything but
    // a regular file, is refused.
    OutputFile(std::string path, Kind kind, int standard_fd = -1);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;

    bool on() const { return fd_ >= 0 || special_; }
    bool standard() const { return !own_; }
    const std::string& path() const { return path_; }
    // The name for messages: the path, or "standard output" / "standard error".
    std::string name() const;
    // Streams and the history: the file is put in place (or a FIFO or
    // character device opened).
    void start();
    // One whole line or record, with one write; on failure the file is cut
    // back to the last whole one and OutputError is thrown.
    void write(const std::string& bytes);
    // A line and its newline as one write; nothing when there is no output.
    void write_line(const std::string& line)
    {
        if (on()) write(line + '\n');
    }
    // Whole lines or records written so far.
    std::size_t writes() const { return writes_; }
    // On disk now (regular files only).
    void sync();
    // A whole file: written, synced, renamed over the target.
    void replace(const std::string& bytes);
    // Closed, checked; standard output and error stay open.
    void close();

private:
    [[noreturn]] void fail(const char* what, int error);
    void put_in_place();
    void release() noexcept;

    std::string path_;    // as given
    std::string target_;  // where it lands: a symbolic link followed
    Kind kind_ = Kind::Stream;
    int fd_ = -1;
    bool own_ = true;        // false for standard output and error
    bool special_ = false;   // an existing FIFO or character device, opened at start
    bool regular_ = false;   // a regular file: cut back and synced
    bool in_place_ = false;  // the file is at its target
    off_t whole_ = 0;        // where the last whole line or record ends
    std::size_t writes_ = 0;
    std::string temp_name_;  // a named temporary file, where unnamed ones cannot be made
};

// The path with every symbolic link resolved; for a file not there yet,
// its folder resolved and its name added.
std::string resolved(const std::string& path);

}  // namespace io
