// Every file vx40-bench writes, opened and checked before anything runs, and
// written as the run goes: a JSON line and the history records are on disk
// when their round is over; the cache replaces its file whole at the end.
#pragma once

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

class Outputs {
public:
    // json: a path, "-" for standard output, or empty; history: appended to;
    // save_cache: replaced at finish() by the last record, if there was one;
    // trace: a path, "-" for standard error, or empty; record: a path; report:
    // a path, opened now and written at finish().
    explicit Outputs(const Options& opt);
    ~Outputs();
    Outputs(const Outputs&) = delete;
    Outputs& operator=(const Outputs&) = delete;
    Outputs(Outputs&&) = delete;
    Outputs& operator=(Outputs&&) = delete;

    bool json_on_stdout() const { return json_path_ == "-"; }
    bool has_json() const { return json_fd_ >= 0; }
    void json_line(const std::string& line);
    bool tracing() const { return trace_fd_ >= 0; }
    void trace_line(const std::string& line);
    bool has_page() const { return page_fd_ >= 0; }
    void page_round(const Json::Value& round) { page_.add(round); }
    bool recording() const { return record_fd_ >= 0; }
    void record_line(const std::string& line);
    void history(const std::vector<std::uint8_t>& record);
    // Writes the cache (if a record was given) and closes every file.
    // Returns what was written, one phrase per file, for the summary.
    std::string finish(const std::vector<std::uint8_t>& last_record);

private:
    void write_all(int fd, const std::string& path, const void* data, std::size_t size);

    std::string json_path_;
    std::string history_path_;
    std::string cache_path_;
    std::string cache_temp_;
    int json_fd_ = -1;
    int history_fd_ = -1;
    int cache_fd_ = -1;
    std::string trace_path_;
    int trace_fd_ = -1;
    std::string record_path_;
    int record_fd_ = -1;
    std::string page_path_;
    int page_fd_ = -1;
    ReportPage page_;
    std::size_t json_lines_ = 0;
    std::size_t history_records_ = 0;
};

}  // namespace bench
