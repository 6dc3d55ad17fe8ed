// Every file vx40-bench writes. Nothing at an output's path changes before
// the run starts: each file is made ready first (an unnamed file in the
// target's folder, or an existing file opened for appending), then
//   streams (--json, --trace, --record) are put in place when the session
//   starts and written a whole line per write; a failed write cuts the file
//   back to its last whole line;
//   the history (--history) is appended to, a whole record per write, each
//   on disk when its round is over;
//   whole files (--save-cache, --report) replace their target only at the
//   end, written, synced and renamed over it; a symbolic link's target is
//   replaced and the link kept.
// A killed run leaves whole lines and records, and no half or stray file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "options.h"
#include "page.h"

namespace bench {

// An output that cannot be opened or written: exit status 3. The message
// names the path and the reason.
struct OutputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One output file; see above for the kinds.
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
    std::string temp_name_;  // a named temporary file, where unnamed ones cannot be made
};

// Two options naming one file (compared by device and inode, so a relative
// path, an absolute one and a link are the same), an input given as an
// output, or two outputs on standard output: UsageError naming both options.
// `--cache F --save-cache F` is allowed: read at the start, replaced at the end.
void check_distinct_files(const Options& opt);

class Outputs {
public:
    // Makes every output ready (OutputError: exit 3); nothing at a target
    // changes until start().
    explicit Outputs(const Options& opt);

    // The run has started: streams and the history go in place.
    void start();
    bool json_on_stdout() const { return json_.on() && json_.standard(); }
    bool has_json() const { return json_.on(); }
    void json_line(const std::string& line);
    bool tracing() const { return trace_.on(); }
    void trace_line(const std::string& line);
    bool has_page() const { return page_file_.on(); }
    void page_round(const Json::Value& round) { page_.add(round); }
    bool recording() const { return record_.on(); }
    void record_line(const std::string& line);
    void history(const std::vector<std::uint8_t>& record);
    // Writes the page and the cache (if a record was given) and closes every
    // file. Returns what was written, one phrase per file, for the summary;
    // after an OutputError, what had been written before it is in written().
    std::string finish(const std::vector<std::uint8_t>& last_record);
    const std::string& written() const { return done_; }

private:
    void add(const std::string& phrase);

    OutputFile json_;
    OutputFile trace_;
    OutputFile record_;
    OutputFile history_;
    OutputFile cache_;
    OutputFile page_file_;
    ReportPage page_;
    std::size_t json_lines_ = 0;
    std::size_t trace_lines_ = 0;
    std::size_t record_lines_ = 0;
    std::size_t history_records_ = 0;
    std::string done_;
};

}  // namespace bench
