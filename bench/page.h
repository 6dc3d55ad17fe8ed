// The report page: one self-contained HTML file that pictures a run (the nine
// values over time, the alarms' active spans, each round's outcome, the
// plug-in's lines by round) and lists its events (alarms raised and cleared,
// spans of refused values, rounds with a refused frame, a missing or a short
// reply). It is made from the rounds as they come, in flat memory: rounds are
// gathered in columns of consecutive rounds, at most kMaxColumns of them
// (two neighbours merged when they fill up), each with the least and greatest
// of every value; events past kMaxEvents are counted, not listed.
//
// The page's markup, style and script are bench/page/report.{html,css,js},
// built into the programs.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "json_text.h"

#include "clock_span.h"
#include "round.h"

namespace bench {

class ReportPage {
public:
    static constexpr std::size_t kMaxColumns = 2000;
    static constexpr std::size_t kMaxEvents = 10000;
    static constexpr std::size_t kMaxTexts = 4096;
    static constexpr std::size_t kLinesPerColumn = 20;

    // The rounds pictured: those whose clock is within the span.
    using Span = ClockSpan;

    ReportPage() = default;
    explicit ReportPage(Span span) : span_(span) {}

    // Takes one round: of the run in progress, or read back from a --json
    // file (round_reader.h); one outside the span is left out. Throws
    // std::runtime_error for a clock it cannot read.
    void add(const RoundResult& round);
    // Alarm rows known so far: a reader need not read their texts again.
    std::size_t alarm_rows() const { return alarm_rows_.size(); }
    std::size_t rounds() const { return rounds_; }
    // The whole page; `source` says where the rounds came from.
    void write(std::ostream& out, const std::string& source) const;

    // Kinds of event, in the page's order.
    enum Kind : std::uint8_t { Alarm, RefusedValues, RefusedFrame, MissingReply, ShortReply };
    static constexpr std::size_t kKinds = 5;

private:
    struct Column {
        long first = 0;
        long last = 0;
        std::int64_t t = 0;      // clock of the first round
        std::int64_t t_end = 0;  // clock of the last round
        std::uint8_t status =
            0;  // the worst: 0 completed, 1 not, 2 a reply missing, 3 a frame refused
        bool complaint = false;             // the plug-in complained about a reply
        std::uint32_t on = 0;               // alarm rows active in any of its rounds
        std::array<std::uint8_t, 3> gap{};  // per chart: 1 not ready, 2 stale, 4 unsupported
        std::array<float, 9> lo{};
        std::array<float, 9> hi{};  // lo > hi: no value in the column
        std::vector<std::uint32_t> lines;
    };
    struct Event {
        Kind kind = Alarm;
        long round = 0;
        long end_round = -1;  // the round that ended it; -1 still on at the end
        std::int64_t t = 0;
        std::int64_t t_end = -1;
        std::uint32_t text = 0;
    };
    static constexpr std::size_t kNotListed = std::numeric_limits<std::size_t>::max();

    // The parts of add(): the values into the column (the refusal bits
    // returned), the alarms' spans, the lines and the round's events, and
    // the column placed.
    static std::uint8_t take_values(const RoundResult& r, Column& c);
    void take_alarms(const RoundResult& r, long round, std::int64_t t);
    void take_lines(const RoundResult& r, Column& c);
    void place(Column&& c);
    std::uint32_t text_id(const std::string& text);
    static void merge(Column& into, const Column& next);
    // The page's data as the page's script reads it: the summary, the
    // names and texts, the columns, the events.
    std::string data(const std::string& source) const;
    std::string summary(const std::string& source) const;
    void events_text(std::string& out) const;
    // Starts an event; the index to end it with, or kNotListed.
    std::size_t open(Kind kind, long round, std::int64_t t, const std::string& text);
    void close(std::size_t& event, long round, std::int64_t t);

    Span span_;
    std::size_t rounds_ = 0;
    std::size_t completed_ = 0;
    std::string first_clock_;
    std::string last_clock_;
    std::int64_t t0_ = 0;
    std::vector<Column> columns_;
    std::size_t width_ = 1;                               // rounds per column
    std::size_t in_last_ = 0;                             // rounds in the last column
    std::vector<std::array<std::string, 4>> alarm_rows_;  // signal, NM id, text, gloss
    std::uint32_t active_ = 0;  // alarm rows active (the last report carried forward)
    std::array<std::size_t, 32> alarm_open_{};
    std::array<std::size_t, 3> refusal_open_{};  // not ready, stale, unsupported
    std::uint8_t refusing_ = 0;                  // refusal bits of the round before
    std::vector<Event> events_;
    std::array<std::size_t, kKinds> counts_{};
    std::size_t unlisted_ = 0;
    std::vector<std::string> texts_;
    std::unordered_map<std::string, std::uint32_t> text_ids_;
};

}  // namespace bench
