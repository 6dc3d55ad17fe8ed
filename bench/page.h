// The report page: one self-contained HTML file that pictures a run (the nine
// values over time, the alarms' active spans, each round's outcome, the
// plug-in's lines by round), made from the rounds as the JSON Lines carry
// them. Long runs are drawn from buckets of consecutive rounds (at most
// kMaxColumns), each with the least and greatest of every value, so the page
// stays small and quick for any length of run.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include <json/value.h>

namespace bench {

class ReportPage {
public:
    static constexpr std::size_t kMaxColumns = 2000;

    // Takes one round as to_json() gives it (or a line of a --json file).
    // Throws std::runtime_error naming the field that is missing or wrong.
    void add(const Json::Value& round);
    std::size_t rounds() const { return round_.size(); }
    // The whole page; `source` says where the rounds came from.
    void write(std::ostream& out, const std::string& source) const;

private:
    std::uint32_t text_id(const std::string& text);

    std::vector<long> round_;
    std::vector<std::int64_t> clock_;  // seconds, from the round's clock text
    std::vector<std::string> clock_text_;
    std::vector<std::uint8_t> status_;  // 0 completed, 1 not, 2 a reply missing, 3 a frame refused
    std::array<std::vector<float>, 9> value_;           // NaN where refused
    std::array<std::vector<std::uint8_t>, 9> refused_;  // 0, or 1 not_ready, 2 stale, 4 unsupported
    std::vector<std::uint32_t> active_;  // alarm rows active (the last report carried forward)
    std::vector<bool> complaint_;        // the plug-in complained about a reply
    std::vector<std::array<std::string, 4>> alarm_rows_;  // signal, NM id, text, gloss
    std::vector<std::vector<std::uint32_t>> lines_;       // the round's lines, by text id
    std::vector<std::string> texts_;
    std::unordered_map<std::string, std::uint32_t> text_ids_;
};

}  // namespace bench
