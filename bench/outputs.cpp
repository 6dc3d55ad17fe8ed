#include "outputs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <utility>

namespace bench {

void check_distinct_files(const Options& opt)
{
    struct File {
        std::string option;
        std::string path;
        bool output;
    };
    // Standard error ("-D") carries the bench's messages as well and is
    // never compared; standard output takes one output: the JSON ("--json -")
    // or the human output.
    std::vector<File> files = {
        {"--plugin", opt.plugin, false},
        {"--settings", opt.replay.empty() ? opt.settings : "", false},
        {"--cache", opt.cache, false},
        {"--scenario", opt.scenario, false},
        {"--replay", opt.replay, false},
        {"--json", opt.json, true},
        {"--trace", opt.trace == "-" ? "" : opt.trace, true},
        {"--record", opt.record, true},
        {"--report", opt.report, true},
        {"--history", opt.history, true},
        {"--save-cache", opt.save_cache, true},
    };
    if (opt.json != "-") files.push_back({"the human output on", "-", true});
    // What a file is: its device and inode, or its resolved path before it
    // exists; "" for a character device (a terminal, /dev/null), which any
    // number of outputs may share.
    auto identity = [](const std::string& path) -> std::string {
        struct stat st {};
        const bool found =
            path == "-" ? fstat(STDOUT_FILENO, &st) == 0 : stat(path.c_str(), &st) == 0;
        if (found) {
            if (S_ISCHR(st.st_mode)) return "";
            return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        }
        return path == "-" ? "" : "path:" + io::resolved(path);
    };
    auto shown = [](const File& f) {
        return f.option + " " + (f.path == "-" ? "standard output" : f.path);
    };
    std::vector<std::pair<const File*, std::string>> seen;
    for (const File& f : files) {
        if (f.path.empty()) continue;
        const std::string id = identity(f.path);
        if (id.empty()) continue;
        for (const auto& [other, other_id] : seen) {
            if (other_id != id || (!other->output && !f.output)) continue;
            if (other->option == "--cache" && f.option == "--save-cache") {
                continue;  // carried from run to run: read first, replaced at the end
            }
            throw UsageError(shown(*other) + " and " + shown(f) + ": the same file");
        }
        seen.emplace_back(&f, id);
    }
}

Outputs::Outputs(const Options& opt)
    : json_(opt.json.empty() ? OutputFile()
                             : OutputFile(opt.json, OutputFile::Kind::Stream, STDOUT_FILENO)),
      trace_(opt.trace.empty() ? OutputFile()
                               : OutputFile(opt.trace, OutputFile::Kind::Stream, STDERR_FILENO)),
      record_(opt.record.empty() ? OutputFile() : OutputFile(opt.record, OutputFile::Kind::Stream)),
      history_(opt.history.empty() ? OutputFile()
                                   : OutputFile(opt.history, OutputFile::Kind::Append)),
      cache_(opt.save_cache.empty() ? OutputFile()
                                    : OutputFile(opt.save_cache, OutputFile::Kind::Whole)),
      page_file_(opt.report.empty() ? OutputFile()
                                    : OutputFile(opt.report, OutputFile::Kind::Whole)),
      page_(ReportPage::Span{opt.report_from, opt.report_to})
{
}

void Outputs::start()
{
    for (OutputFile* f : {&json_, &trace_, &record_, &history_}) {
        if (f->on()) f->start();
    }
}

void Outputs::history(const std::vector<std::uint8_t>& record)
{
    if (!history_.on()) return;
    history_.write(std::string(record.begin(), record.end()));
    // On disk with its round: a power cut or a kill loses nothing written.
    history_.sync();
}

void Outputs::add(const std::string& phrase)
{
    done_ += (done_.empty() ? "" : ", ") + phrase;
}

std::string Outputs::finish(const std::vector<std::uint8_t>& last_record)
{
    done_.clear();
    // Each file says what it holds, even when a later one fails.
    auto close_stream = [&](OutputFile& f, const char* what) {
        if (!f.on()) return;
        f.close();
        add(std::to_string(f.writes()) + " " + what + " " + f.name());
    };
    close_stream(json_, "JSON lines in");
    close_stream(trace_, "trace lines in");
    close_stream(record_, "recording lines in");
    close_stream(history_, "records appended to");
    if (page_file_.on()) {
        std::ostringstream page;
        page_.write(page, "vx40-bench");
        page_file_.replace(page.str());
        page_file_.close();
        add("the run pictured in " + page_file_.path());
    }
    if (cache_.on()) {
        if (last_record.empty()) {
            const std::string path = cache_.path();
            cache_ = OutputFile();  // the unnamed file goes; the old cache stays
            add("no record to save in " + path);
        } else {
            cache_.replace(std::string(last_record.begin(), last_record.end()));
            cache_.close();
            add("cache saved in " + cache_.path());
        }
    }
    return done_;
}

}  // namespace bench
