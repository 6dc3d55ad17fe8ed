// vx40-report: the report page of vx40-bench, made from a saved --json file.
//   vx40-report [--from TIME] [--to TIME] ROUNDS.jsonl PAGE.html
// --from and --to picture only the rounds whose clock lies between them
// (YYYY-MM-DD HH:MM:SS, or a date: from its first second, to its last),
// every one of them.
// The page replaces its file whole once it is written; the rounds file and
// the page must be two files. A last line cut short (a killed run) is left
// out with a warning.
// Exit status: 0 written, 2 a bad argument or input line (named), 3 the page
// cannot be written.
#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "json_text.h"
#include "output_file.h"
#include "page.h"
#include "round_reader.h"

namespace {

constexpr const char* kExits =
    "Exit status: 0 written, 2 a bad argument or input line (named), 3 the page cannot be "
    "written.\n";

struct Options {
    std::string from;
    std::string to;
    std::string rounds;
    std::string page;
};

// A refusal already said: the exit status to end with.
struct Refused {
    int status;
};

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa {};
    struct stat sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

[[noreturn]] void refuse(const std::string& why, int status)
{
    std::cerr << "vx40-report: " << why << '\n';
    throw Refused{status};
}

// The span of --from and --to, checked.
bench::ReportPage::Span span_of(const Options& o)
{
    bench::ReportPage::Span span;
    for (const auto& [name, text, end] :
         {std::tuple{"--from", &o.from, false}, std::tuple{"--to", &o.to, true}}) {
        if (text->empty()) continue;
        try {
            (end ? span.to : span.from) = bench::clock_seconds(*text, end);
        } catch (const std::runtime_error& e) {
            refuse(std::string(name) + " " + *text + ": " + e.what(), 2);
        }
    }
    if (span.empty()) refuse(bench::ReportPage::Span::kEmpty, 2);
    return span;
}

// Every round of the file into the page.
void read_rounds(std::istream& in, const std::string& path, bench::ReportPage& page)
{
    std::size_t at = 0;
    bench::RoundReader reader;
    bench::RoundResult round;  // one at a time, its buffers kept
    try {
        const std::string warning = io::read_json_lines(
            in,
            [&](std::size_t n, const Json::Value& v) {
                at = n;
                reader.skip_alarm_texts_before(page.alarm_rows());
                reader.read(v, round);
                page.add(round);
            },
            [&](std::size_t n, const std::string& text) {
                at = n;
                reader.skip_alarm_texts_before(page.alarm_rows());
                if (!reader.read_line(text, round)) return false;
                page.add(round);
                return true;
            });
        if (!warning.empty())
            std::cerr << "vx40-report: warning: " << path << ": " << warning << '\n';
    } catch (const io::JsonSyntax& e) {
        refuse(path + ":" + e.what(), 2);
    } catch (const std::exception& e) {
        refuse(path + ": line " + std::to_string(at) + ": " + e.what(), 2);
    }
}

int run(const Options& o)
{
    const bench::ReportPage::Span span = span_of(o);
    if (same_file(o.rounds, o.page)) {
        refuse(o.rounds + " and " + o.page + ": the same file; the page would replace its rounds",
               2);
    }
    std::ifstream in(o.rounds, std::ios::binary);
    if (!in) refuse(o.rounds + ": cannot read: " + std::strerror(errno), 2);
    io::OutputFile out;
    try {
        out = io::OutputFile(o.page, io::OutputFile::Kind::Whole);
    } catch (const io::OutputError& e) {
        refuse(e.what(), 3);
    }
    bench::ReportPage page(span);
    read_rounds(in, o.rounds, page);
    try {
        std::ostringstream text;
        page.write(text, o.rounds);
        out.replace(text.str());
        out.close();
    } catch (const io::OutputError& e) {
        refuse(e.what(), 3);
    }
    std::cout << "vx40-report: " << page.rounds() << " rounds pictured in " << o.page << '\n';
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    CLI::App app{"vx40-report: the report page of vx40-bench, made from a saved --json file"};
    app.footer(kExits);
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--from", o.from,
                   "picture the rounds from this clock on (YYYY-MM-DD[ HH:MM:SS])");
    app.add_option("--to", o.to,
                   "picture the rounds up to this clock (a date: to its last second)");
    app.add_option("ROUNDS", o.rounds, "the rounds, as vx40-bench --json wrote them")->required();
    app.add_option("PAGE", o.page, "the page to write")->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::Error& e) {
        std::cerr << "vx40-report: " << e.what() << "\ntry vx40-report --help\n";
        return 2;
    }
    try {
        return run(o);
    } catch (const Refused& r) {
        return r.status;
    }
}
