#include "page.h"

#include <json/writer.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>
#include <utility>

#include "clock_span.h"
#include "json_text.h"
#include "page_assets.h"
#include "round.h"

namespace bench {

namespace {

[[noreturn]] void fault(const std::string& what)
{
    throw std::runtime_error(what);
}

std::uint8_t refusal_bit(const std::string& code)
{
    if (code == "not_ready") return 1;
    if (code == "stale") return 2;
    return 4;
}

// Splits the page's markup at a marker: what comes before it, and the rest.
std::pair<std::string_view, std::string_view> split_at(std::string_view text,
                                                       std::string_view marker)
{
    const auto at = text.find(marker);
    if (at == std::string_view::npos) fault("the page's markup has no " + std::string(marker));
    return {text.substr(0, at), text.substr(at + marker.size())};
}

const char* const kKindNames[ReportPage::kKinds] = {"alarm", "values refused", "frame refused",
                                                    "reply missing", "short reply"};
const char* const kRefusalNames[3] = {"not ready", "stale", "unsupported"};

}  // namespace

std::uint32_t ReportPage::text_id(const std::string& text)
{
    static const std::string kMore = "(further distinct lines are not kept)";
    auto found = text_ids_.find(text);
    // Past the limit every new text shares one line that says so.
    if (found == text_ids_.end() && texts_.size() >= kMaxTexts) found = text_ids_.find(kMore);
    if (found != text_ids_.end()) return found->second;
    const std::string& kept = texts_.size() >= kMaxTexts ? kMore : text;
    const auto id = static_cast<std::uint32_t>(texts_.size());
    texts_.push_back(kept);
    text_ids_.emplace(kept, id);
    return id;
}

void ReportPage::merge(Column& into, const Column& next)
{
    into.last = next.last;
    into.t_end = next.t_end;
    into.status = std::max(into.status, next.status);
    into.complaint = into.complaint || next.complaint;
    into.on |= next.on;
    for (std::size_t g = 0; g < 3; ++g) into.gap[g] |= next.gap[g];
    for (std::size_t k = 0; k < 9; ++k) {
        into.lo[k] = std::min(into.lo[k], next.lo[k]);
        into.hi[k] = std::max(into.hi[k], next.hi[k]);
    }
    for (const auto id : next.lines) {
        if (into.lines.size() >= kLinesPerColumn) break;
        if (std::find(into.lines.begin(), into.lines.end(), id) == into.lines.end())
            into.lines.push_back(id);
    }
}

std::size_t ReportPage::open(Kind kind, long round, std::int64_t t, const std::string& text)
{
    ++counts_[kind];
    if (events_.size() >= kMaxEvents) {
        ++unlisted_;
        return kNotListed;
    }
    events_.push_back({kind, round, -1, t, -1, text_id(text)});
    return events_.size() - 1;
}

void ReportPage::close(std::size_t& event, long round, std::int64_t t)
{
    if (event != kNotListed) {
        events_[event].end_round = round;
        events_[event].t_end = t;
    }
    event = kNotListed;
}

void ReportPage::add(const RoundResult& r)
{
    const std::int64_t seconds = clock_seconds(r.clock);
    if (!span_.holds(seconds)) return;
    Column c;
    c.first = c.last = r.round;
    const std::uint8_t refusing = take_values(r, c);
    if (rounds_ == 0) {
        t0_ = seconds;
        first_clock_ = r.clock;
    }
    last_clock_ = r.clock;
    ++rounds_;
    c.t = c.t_end = seconds - t0_;
    completed_ += r.completed ? 1 : 0;
    c.status = r.completed ? 0 : !r.rejected.empty() ? 3 : !r.missing.empty() ? 2 : 1;
    take_alarms(r, c.first, c.t);
    c.on = active_;
    // Spans of refused values, one per reason.
    for (std::size_t b = 0; b < 3; ++b) {
        const auto bit = static_cast<std::uint8_t>(1U << b);
        if ((refusing & bit) != 0 && (refusing_ & bit) == 0) {
            refusal_open_[b] = open(RefusedValues, c.first, c.t, kRefusalNames[b]);
        } else if ((refusing & bit) == 0 && (refusing_ & bit) != 0) {
            close(refusal_open_[b], c.first, c.t);
        }
    }
    refusing_ = refusing;
    take_lines(r, c);
    place(std::move(c));
}

std::uint8_t ReportPage::take_values(const RoundResult& r, Column& c)
{
    std::uint8_t refusing = 0;
    for (std::size_t k = 0; k < 9; ++k) {
        c.lo[k] = std::numeric_limits<float>::infinity();
        c.hi[k] = -c.lo[k];
        const bool ok = k < r.values.size() && r.values[k].ok;
        if (ok) {
            c.lo[k] = c.hi[k] = r.values[k].num;
        } else {
            const std::uint8_t bit = refusal_bit(k < r.values.size() ? r.values[k].code : "");
            c.gap[k / 3] |= bit;
            refusing |= bit;
        }
    }
    return refusing;
}

void ReportPage::take_alarms(const RoundResult& r, long round, std::int64_t t)
{
    // The round's reports (the first 32), or the last ones carried forward.
    if (r.alarms.empty()) return;
    const std::size_t n = std::min<std::size_t>(r.alarms.size(), 32);
    std::uint32_t active = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const AlarmReport& a = r.alarms[i];
        if (alarm_rows_.size() <= i) alarm_rows_.push_back({a.signal, a.nm, a.text, gloss(a.text)});
        if (a.active) active |= 1U << i;
    }
    for (std::size_t row = 0; row < alarm_rows_.size(); ++row) {
        const std::uint32_t bit = 1U << row;
        if ((active & bit) != 0 && (active_ & bit) == 0) {
            const auto& a = alarm_rows_[row];
            alarm_open_[row] =
                open(Alarm, round, t, a[0] + " " + a[1] + " " + a[2] + " (" + a[3] + ")");
        } else if ((active & bit) == 0 && (active_ & bit) != 0) {
            close(alarm_open_[row], round, t);
        }
    }
    active_ = active;
}

void ReportPage::take_lines(const RoundResult& r, Column& c)
{
    // The round's lines; a refused frame, a missing and a short reply are
    // events of their round.
    std::string complaints;
    for (const std::string& line : r.log) {
        // The plug-in's complaints about a reply begin "error in".
        if (line.rfind("error in", 0) == 0) complaints += (complaints.empty() ? "" : "; ") + line;
        if (c.lines.size() < kLinesPerColumn) c.lines.push_back(text_id(line));
    }
    c.complaint = !complaints.empty();
    auto instant = [&](Kind kind, const std::string& text) {
        const std::size_t e = open(kind, c.first, c.t, text);
        if (e != kNotListed) {
            events_[e].end_round = c.first;
            events_[e].t_end = c.t;
        }
    };
    const auto listed = [&](Kind kind, const char* head, const std::vector<std::string>& list) {
        std::string joined;
        for (const std::string& item : list) {
            const std::string text = head + item;
            if (c.lines.size() < kLinesPerColumn) c.lines.push_back(text_id(text));
            joined += (joined.empty() ? "" : "; ") + text;
        }
        if (!joined.empty()) instant(kind, joined);
    };
    listed(RefusedFrame, "rejected frame: ", r.rejected);
    listed(MissingReply, "no reply to ", r.missing);
    if (!complaints.empty()) instant(ShortReply, complaints);
}

void ReportPage::place(Column&& c)
{
    // Into the last column while it has room; when every column is full,
    // neighbours are merged and each column takes twice as many rounds.
    if (!columns_.empty() && in_last_ < width_) {
        merge(columns_.back(), c);
        ++in_last_;
        return;
    }
    if (columns_.size() == kMaxColumns) {
        for (std::size_t i = 0; i < kMaxColumns / 2; ++i) {
            columns_[i] = std::move(columns_[2 * i]);
            merge(columns_[i], columns_[2 * i + 1]);
        }
        columns_.resize(kMaxColumns / 2);
        width_ *= 2;
    }
    columns_.push_back(std::move(c));
    in_last_ = 1;
}

namespace {

// The page's data is written as JsonCpp's writer writes it (no indentation,
// doubles to 7 significant digits), straight into its text: no value tree
// of every column is built.
template <typename Each>
void array(std::string& out, std::size_t n, Each each)
{
    out += '[';
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) out += ',';
        each(i);
    }
    out += ']';
}

}  // namespace

std::string ReportPage::data(const std::string& source) const
{
    std::string out;
    io::JsonLine d(out);
    array(d.member("alarm_rows"), alarm_rows_.size(),
          [&](std::size_t i) { io::append_texts(out, alarm_rows_[i]); });
    d.integer("bucket", static_cast<long long>(width_));
    const auto per_column = [&](const char* key, auto value) {
        array(d.member(key), columns_.size(), [&](std::size_t i) { value(columns_[i]); });
    };
    per_column("complaint", [&](const Column& c) { out += c.complaint ? "true" : "false"; });
    array(d.member("counts"), kKinds,
          [&](std::size_t k) { io::append_integer(out, static_cast<long long>(counts_[k])); });
    events_text(d.member("events"));
    per_column("first", [&](const Column& c) { io::append_integer(out, c.first); });
    array(d.member("gap"), 3, [&](std::size_t g) {
        array(out, columns_.size(),
              [&](std::size_t i) { io::append_integer(out, columns_[i].gap[g]); });
    });
    io::append_texts(d.member("groups"), vocabulary::kValueGroups);
    io::append_texts(d.member("kinds"), kKindNames);
    per_column("last", [&](const Column& c) { io::append_integer(out, c.last); });
    per_column("lines", [&](const Column& c) {
        array(out, c.lines.size(), [&](std::size_t j) { io::append_integer(out, c.lines[j]); });
    });
    for (const char* key : {"max", "min"}) {
        const bool max = key[1] == 'a';
        array(d.member(key), 9, [&](std::size_t k) {
            array(out, columns_.size(), [&](std::size_t i) {
                const Column& c = columns_[i];
                if (c.lo[k] > c.hi[k]) {
                    out += "null";
                } else {
                    out += Json::valueToString(static_cast<double>(max ? c.hi[k] : c.lo[k]), 7);
                }
            });
        });
    }
    io::append_texts(d.member("names"), kValueNames);
    per_column("on", [&](const Column& c) { io::append_integer(out, c.on); });
    per_column("status", [&](const Column& c) { io::append_integer(out, c.status); });
    d.text("summary", summary(source));
    per_column("t", [&](const Column& c) { io::append_integer(out, c.t); });
    d.integer("t0", t0_);
    d.integer("t_end", columns_.empty() ? 1 : columns_.back().t_end + 1);
    per_column("te", [&](const Column& c) { io::append_integer(out, c.t_end); });
    io::append_texts(d.member("texts"), texts_);
    d.integer("unlisted", static_cast<long long>(unlisted_));
    d.close();
    return out;
}

void ReportPage::events_text(std::string& out) const
{
    // Each event: [kind, round, end round or null, t, end t or null, text].
    array(out, events_.size(), [&](std::size_t i) {
        const Event& e = events_[i];
        out += '[';
        io::append_integer(out, e.kind);
        out += ',';
        io::append_integer(out, e.round);
        out += ',';
        e.end_round < 0 ? void(out += "null") : io::append_integer(out, e.end_round);
        out += ',';
        io::append_integer(out, e.t);
        out += ',';
        e.t_end < 0 ? void(out += "null") : io::append_integer(out, e.t_end);
        out += ',';
        io::append_integer(out, e.text);
        out += ']';
    });
}

std::string ReportPage::summary(const std::string& source) const
{
    const std::size_t total = rounds_;
    const std::string span = span_.whole() ? "" : " (the span asked for)";
    return std::to_string(total) + " rounds from " + source + span +
           (total > 0 ? ", " + first_clock_ + " to " + last_clock_ : "") + "; " +
           std::to_string(completed_) + " completed, " + std::to_string(total - completed_) +
           " not" +
           (width_ > 1 ? "; drawn in columns of " + std::to_string(width_) + " rounds" : "");
}

void ReportPage::write(std::ostream& out, const std::string& source) const
{
    std::string data = this->data(source);
    // Inside a script element nothing may close it: "</" is written "<\\/".
    for (std::size_t at = data.find("</"); at != std::string::npos; at = data.find("</", at + 3)) {
        data.replace(at, 2, "<\\/");
    }
    const auto [before_style, after_style] = split_at(page_assets::kHtml, "/*@STYLE@*/");
    const auto [before_data, after_data] = split_at(after_style, "/*@DATA@*/");
    const auto [before_script, after_script] = split_at(after_data, "/*@SCRIPT@*/");
    out << before_style << page_assets::kCss << before_data << data << before_script
        << page_assets::kJs << after_script;
}

}  // namespace bench
