// vx40-report: the report page of vx40-bench, made from a saved --json file.
//   vx40-report ROUNDS.jsonl PAGE.html
// Exit status: 0 written, 2 a bad argument or input line (named), 3 the page
// cannot be written.
#include <json/reader.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "page.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: vx40-report ROUNDS.jsonl PAGE.html\n";
        return 2;
    }
    const std::string in_path = argv[1];
    const std::string out_path = argv[2];
    std::ifstream in(in_path, std::ios::binary);
    if (!in) {
        std::cerr << "vx40-report: " << in_path << ": cannot read: " << std::strerror(errno)
                  << '\n';
        return 2;
    }
    std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
    if (!out) {
        std::cerr << "vx40-report: " << out_path
                  << ": cannot open for writing: " << std::strerror(errno) << '\n';
        return 3;
    }
    bench::ReportPage page;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string line;
    std::size_t n = 0;
    try {
        while (std::getline(in, line)) {
            ++n;
            if (line.empty()) continue;
            Json::Value round;
            std::string errors;
            if (!reader->parse(line.data(), line.data() + line.size(), &round, &errors)) {
                throw std::runtime_error("not JSON: " + errors);
            }
            page.add(round);
        }
    } catch (const std::exception& e) {
        std::cerr << "vx40-report: " << in_path << ": line " << n << ": " << e.what() << '\n';
        return 2;
    }
    page.write(out, in_path);
    out.flush();
    if (!out) {
        std::cerr << "vx40-report: " << out_path << ": write failed: " << std::strerror(errno)
                  << '\n';
        return 3;
    }
    std::cout << "vx40-report: " << page.rounds() << " rounds pictured in " << out_path << '\n';
    return 0;
}
