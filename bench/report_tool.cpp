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

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "json_text.h"
#include "output_file.h"
#include "page.h"

namespace {

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa {};
    struct stat sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

int main(int argc, char** argv)
{
    constexpr const char* kUsage =
        "usage: vx40-report [--from TIME] [--to TIME] ROUNDS.jsonl PAGE.html\n";
    bench::ReportPage::Span span;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--from" || arg == "--to") {
            if (i + 1 == argc) {
                std::cerr << "vx40-report: " << arg << ": needs a time\n" << kUsage;
                return 2;
            }
            try {
                (arg == "--from" ? span.from : span.to) =
                    bench::ReportPage::clock_seconds(argv[++i], arg == "--to");
            } catch (const std::runtime_error& e) {
                std::cerr << "vx40-report: " << arg << " " << argv[i] << ": " << e.what() << '\n';
                return 2;
            }
        } else if (arg.rfind("--", 0) == 0) {
            std::cerr << "vx40-report: " << arg << ": no such option\n" << kUsage;
            return 2;
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2) {
        std::cerr << kUsage;
        return 2;
    }
    if (span.empty()) {
        std::cerr << "vx40-report: " << bench::ReportPage::Span::kEmpty << '\n';
        return 2;
    }
    const std::string in_path = files[0];
    const std::string out_path = files[1];
    if (same_file(in_path, out_path)) {
        std::cerr << "vx40-report: " << in_path << " and " << out_path
                  << ": the same file; the page would replace its rounds\n";
        return 2;
    }
    std::ifstream in(in_path, std::ios::binary);
    if (!in) {
        std::cerr << "vx40-report: " << in_path << ": cannot read: " << std::strerror(errno)
                  << '\n';
        return 2;
    }
    io::OutputFile out;
    try {
        out = io::OutputFile(out_path, io::OutputFile::Kind::Whole);
    } catch (const io::OutputError& e) {
        std::cerr << "vx40-report: " << e.what() << '\n';
        return 3;
    }
    bench::ReportPage page(span);
    std::size_t at = 0;
    try {
        const std::string warning = io::read_json_lines(
            in,
            [&](std::size_t n, const Json::Value& v) {
                at = n;
                page.add(v);
            },
            [&](std::size_t n, const std::string& text) {
                at = n;
                return page.add_line(text);
            });
        if (!warning.empty())
            std::cerr << "vx40-report: warning: " << in_path << ": " << warning << '\n';
    } catch (const io::JsonSyntax& e) {
        std::cerr << "vx40-report: " << in_path << ":" << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "vx40-report: " << in_path << ": line " << at << ": " << e.what() << '\n';
        return 2;
    }
    try {
        std::ostringstream text;
        page.write(text, in_path);
        out.replace(text.str());
        out.close();
    } catch (const io::OutputError& e) {
        std::cerr << "vx40-report: " << e.what() << '\n';
        return 3;
    }
    std::cout << "vx40-report: " << page.rounds() << " rounds pictured in " << out_path << '\n';
    return 0;
}
