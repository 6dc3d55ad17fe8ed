// Every file vx40-bench writes (io/output_file.h says how each kind is
// kept whole), and the check that no two options name one file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "output_file.h"
#include "page.h"

namespace bench {

using io::OutputError;
using io::OutputFile;

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
    void json_line(const std::string& line) { json_.write_line(line); }
    bool tracing() const { return trace_.on(); }
    void trace_line(const std::string& line) { trace_.write_line(line); }
    bool has_page() const { return page_file_.on(); }
    void page_round(const RoundResult& round) { page_.add(round); }
    bool recording() const { return record_.on(); }
    void record_line(const std::string& line) { record_.write_line(line); }
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
    std::string done_;
};

}  // namespace bench
