#include "page.h"

#include <json/writer.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>
#include <utility>

#include "json_text.h"
#include "page_assets.h"
#include "report.h"

namespace bench {

namespace {

[[noreturn]] void fault(const std::string& what)
{
    throw std::runtime_error(what);
}

// "YYYY-MM-DD HH:MM:SS" as seconds since 1970 (the clock's own zone).
std::int64_t seconds_of(const std::string& text)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) !=
            6 ||
        static_cast<std::size_t>(used) != text.size() || mo < 1 || mo > 12 || d < 1 || d > 31 ||
        h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 60) {
        fault("clock \"" + text + "\" is not YYYY-MM-DD HH:MM:SS");
    }
    // A day past the month's end counts on into the next month, as sys_days does.
    using namespace std::chrono;
    const sys_days day{year{y} / month{static_cast<unsigned>(mo)} /
                       std::chrono::day{static_cast<unsigned>(d)}};
    const auto at = day + hours{h} + minutes{mi} + seconds{s};
    return at.time_since_epoch().count();
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

bool ReportPage::Span::whole() const
{
    return from == std::numeric_limits<std::int64_t>::min() &&
           to == std::numeric_limits<std::int64_t>::max();
}

std::int64_t ReportPage::clock_seconds(const std::string& text, bool end_of_span)
{
    if (text.size() == 10) return seconds_of(text + (end_of_span ? " 23:59:59" : " 00:00:00"));
    return seconds_of(text);
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

void ReportPage::add(const Json::Value& round)
{
    if (!round.isObject()) fault("a round is not a JSON object");
    const Json::Value& number_of = round["round"];
    if (!number_of.isInt64()) fault("\"round\" missing or not a number");
    const std::string where = "round " + number_of.asString() + ": ";
    if (!round["clock"].isString()) fault(where + "\"clock\" missing");
    PageRound& in = in_;
    in.clock = round["clock"].asString();
    in.seconds = seconds_of(in.clock);
    const Json::Value& values = round["values"];
    if (!values.isObject()) fault(where + "\"values\" missing");
    in.round = static_cast<long>(number_of.asInt64());
    for (std::size_t k = 0; k < 9; ++k) {
        const Json::Value& v = values[kValueNames[k]];
        in.ok[k] = v.isNumeric();
        in.num[k] = in.ok[k] ? v.asFloat() : 0.0F;
        in.refusal[k] = 0;
        if (!in.ok[k]) {
            if (!v.isObject() || !v["error"].isString()) {
                fault(where + "value " + kValueNames[k] + " missing");
            }
            in.refusal[k] = refusal_bit(v["error"].asString());
        }
    }
    if (in.seconds < span_.from || in.seconds > span_.to) return;
    in.completed = round["completed"].asBool();
    const Json::Value& rejected = round["rejected"];
    const Json::Value& missing = round["missing"];
    in.any_rejected = !rejected.empty();
    in.any_missing = !missing.empty();
    const Json::Value& alarms = round["alarms"];
    in.alarms.clear();
    if (alarms.isArray()) {
        for (Json::ArrayIndex i = 0; i < alarms.size() && i < 32; ++i) {
            const Json::Value& a = alarms[i];
            PageRound::Alarm& to = in.alarms.emplace_back();
            if (alarm_rows_.size() <= i) {  // texts are read for a row not yet known
                to.signal = a["signal"].asString();
                to.nm = a["nm"].asString();
                to.text = a["text"].asString();
            }
            to.active = a["active"].asBool();
        }
    }
    const auto texts = [](const Json::Value& list, std::vector<std::string>& to) {
        to.clear();
        for (const auto& l : list) to.push_back(l.asString());
    };
    texts(round["log"], in.log);
    texts(rejected, in.rejected);
    texts(missing, in.missing);
    add_round(in);
}

void ReportPage::add(const RoundResult& r)
{
    PageRound& in = in_;
    in.clock = r.clock;
    in.seconds = seconds_of(in.clock);
    in.round = r.round;
    for (std::size_t k = 0; k < 9; ++k) {
        const bool have = k < r.values.size();
        in.ok[k] = have && r.values[k].ok;
        in.num[k] = in.ok[k] ? r.values[k].num : 0.0F;
        in.refusal[k] = in.ok[k] ? 0 : refusal_bit(have ? refusal_code(r.values[k].text) : "");
    }
    if (in.seconds < span_.from || in.seconds > span_.to) return;
    in.completed = r.completed;
    in.any_rejected = !r.rejected.empty();
    in.any_missing = !r.missing.empty();
    in.alarms.resize(std::min<std::size_t>(r.alarms.size(), 32));
    for (std::size_t i = 0; i < in.alarms.size(); ++i) {
        PageRound::Alarm& to = in.alarms[i];
        if (alarm_rows_.size() <= i) {
            to.signal = r.alarms[i].signal;
            to.nm = r.alarms[i].nm;
            to.text = r.alarms[i].text;
        }
        to.active = r.alarms[i].active;
    }
    in.log.assign(r.log.begin(), r.log.end());
    in.rejected.assign(r.rejected.begin(), r.rejected.end());
    in.missing.assign(r.missing.begin(), r.missing.end());
    add_round(in);
}

bool ReportPage::add_line(const std::string& line)
{
    // The line as the bench writes it; anything else (a field missing or of
    // another type, JSON the quick reader declines) is left to add(Json).
    io::JsonCursor json(line);
    PageRound& in = in_;
    std::string& key = key_;
    bool have_round = false;
    bool have_clock = false;
    std::uint16_t have_values = 0;  // a bit per name
    in.completed = false;
    in.alarms.clear();
    in.log.clear();
    in.rejected.clear();
    in.missing.clear();
    Json::Value v;
    const auto texts = [&](std::vector<std::string>& to) {
        to.clear();
        if (!json.take('[')) return false;
        if (json.take(']')) return true;
        do {
            if (!json.string(to.emplace_back())) return false;
        } while (json.take(','));
        return json.take(']');
    };
    // The texts of an alarm whose row is known are only read.
    const auto alarm = [&](PageRound::Alarm& a, bool texts_wanted) {
        a.active = false;
        if (!json.take('{')) return false;
        if (json.take('}')) return true;
        do {
            if (!json.key(key)) return false;
            bool taken = true;
            std::string* text = key == "signal" ? &a.signal
                                : key == "nm"   ? &a.nm
                                : key == "text" ? &a.text
                                                : nullptr;
            if (key == "active") {
                taken = json.boolean(a.active);
            } else if (text != nullptr) {
                taken = texts_wanted ? json.string(*text) : json.skip(2);
            } else {
                taken = json.skip(2);
            }
            if (!taken) return false;
        } while (json.take(','));
        return json.take('}');
    };
    const auto value = [&](std::size_t k) {
        if (!json.value(v, 2)) return false;
        in.ok[k] = v.isNumeric();
        in.num[k] = in.ok[k] ? v.asFloat() : 0.0F;
        in.refusal[k] = 0;
        if (in.ok[k]) return true;
        if (!v.isObject() || !v["error"].isString()) return false;
        in.refusal[k] = refusal_bit(v["error"].asString());
        return true;
    };
    const auto values = [&] {
        have_values = 0;
        if (!json.take('{')) return false;
        if (json.take('}')) return true;
        do {
            if (!json.key(key)) return false;
            const auto* name = std::find(std::begin(kValueNames), std::end(kValueNames), key);
            if (name == std::end(kValueNames)) {
                if (!json.skip(2)) return false;
                continue;
            }
            const auto k = static_cast<std::size_t>(name - std::begin(kValueNames));
            if (!value(k)) return false;
            have_values |= static_cast<std::uint16_t>(1U << k);
        } while (json.take(','));
        return json.take('}');
    };
    if (!json.take('{') || json.take('}')) return false;
    do {
        if (!json.key(key)) return false;
        bool taken = true;
        if (key == "round") {
            taken = json.value(v, 1) && v.isInt64();
            have_round = taken;
            if (taken) in.round = static_cast<long>(v.asInt64());
        } else if (key == "clock") {
            taken = json.string(in.clock);
            have_clock = taken;
        } else if (key == "values") {
            taken = values();
        } else if (key == "completed") {
            taken = json.boolean(in.completed);
        } else if (key == "alarms") {
            taken = json.take('[');
            if (taken) in.alarms.clear();
            if (taken && !json.take(']')) {
                std::size_t i = 0;
                PageRound::Alarm past;  // the 33rd and later: read, not kept
                do {
                    if (i < 32 && in.alarms.size() <= i) in.alarms.emplace_back();
                    PageRound::Alarm& a = i < 32 ? in.alarms[i] : past;
                    taken = alarm(a, i >= alarm_rows_.size());
                    ++i;
                } while (taken && json.take(','));
                in.alarms.resize(std::min<std::size_t>(i, 32));
                taken = taken && json.take(']');
            }
        } else if (key == "log") {
            taken = texts(in.log);
        } else if (key == "rejected") {
            taken = texts(in.rejected);
        } else if (key == "missing") {
            taken = texts(in.missing);
        } else {
            taken = json.skip(1);
        }
        if (!taken) return false;
    } while (json.take(','));
    if (!json.take('}') || !json.end() || !have_round || !have_clock || have_values != 0x1FFU) {
        return false;
    }
    in.seconds = seconds_of(in.clock);
    if (in.seconds < span_.from || in.seconds > span_.to) return true;
    in.any_rejected = !in.rejected.empty();
    in.any_missing = !in.missing.empty();
    add_round(in);
    return true;
}

void ReportPage::add_round(const PageRound& in)
{
    Column c;
    c.first = c.last = in.round;
    std::uint8_t refusing = 0;
    for (std::size_t k = 0; k < 9; ++k) {
        c.lo[k] = std::numeric_limits<float>::infinity();
        c.hi[k] = -c.lo[k];
        if (in.ok[k]) {
            c.lo[k] = c.hi[k] = in.num[k];
        } else {
            c.gap[k / 3] |= in.refusal[k];
            refusing |= in.refusal[k];
        }
    }
    if (rounds_ == 0) {
        t0_ = in.seconds;
        first_clock_ = in.clock;
    }
    last_clock_ = in.clock;
    ++rounds_;
    c.t = c.t_end = in.seconds - t0_;
    const std::int64_t t = c.t;
    completed_ += in.completed ? 1 : 0;
    c.status = in.completed ? 0 : in.any_rejected ? 3 : in.any_missing ? 2 : 1;

    // Alarms: the round's reports, or the last ones carried forward.
    if (!in.alarms.empty()) {
        std::uint32_t active = 0;
        for (std::size_t i = 0; i < in.alarms.size(); ++i) {
            const PageRound::Alarm& a = in.alarms[i];
            if (alarm_rows_.size() <= i)
                alarm_rows_.push_back({a.signal, a.nm, a.text, gloss(a.text)});
            if (a.active) active |= 1U << i;
        }
        for (std::size_t row = 0; row < alarm_rows_.size(); ++row) {
            const std::uint32_t bit = 1U << row;
            if ((active & bit) != 0 && (active_ & bit) == 0) {
                const auto& r = alarm_rows_[row];
                alarm_open_[row] =
                    open(Alarm, c.first, t, r[0] + " " + r[1] + " " + r[2] + " (" + r[3] + ")");
            } else if ((active & bit) == 0 && (active_ & bit) != 0) {
                close(alarm_open_[row], c.first, t);
            }
        }
        active_ = active;
    }
    c.on = active_;

    // Spans of refused values, one per reason.
    for (std::size_t b = 0; b < 3; ++b) {
        const auto bit = static_cast<std::uint8_t>(1U << b);
        if ((refusing & bit) != 0 && (refusing_ & bit) == 0) {
            refusal_open_[b] = open(RefusedValues, c.first, t, kRefusalNames[b]);
        } else if ((refusing & bit) == 0 && (refusing_ & bit) != 0) {
            close(refusal_open_[b], c.first, t);
        }
    }
    refusing_ = refusing;

    // The round's lines; a refused frame, a missing and a short reply are
    // events of their round.
    std::string complaints;
    for (const std::string& line : in.log) {
        // The plug-in's complaints about a reply begin "error in".
        if (line.rfind("error in", 0) == 0) complaints += (complaints.empty() ? "" : "; ") + line;
        if (c.lines.size() < kLinesPerColumn) c.lines.push_back(text_id(line));
    }
    c.complaint = !complaints.empty();
    auto instant = [&](Kind kind, const std::string& text) {
        const std::size_t e = open(kind, c.first, t, text);
        if (e != kNotListed) {
            events_[e].end_round = c.first;
            events_[e].t_end = t;
        }
    };
    std::string joined;
    for (const std::string& j : in.rejected) {
        const std::string text = "rejected frame: " + j;
        if (c.lines.size() < kLinesPerColumn) c.lines.push_back(text_id(text));
        joined += (joined.empty() ? "" : "; ") + text;
    }
    if (!joined.empty()) instant(RefusedFrame, joined);
    joined.clear();
    for (const std::string& m : in.missing) {
        const std::string text = "no reply to " + m;
        if (c.lines.size() < kLinesPerColumn) c.lines.push_back(text_id(text));
        joined += (joined.empty() ? "" : "; ") + text;
    }
    if (!joined.empty()) instant(MissingReply, joined);
    if (!complaints.empty()) instant(ShortReply, complaints);

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

void ReportPage::write(std::ostream& out, const std::string& source) const
{
    Json::Value d(Json::objectValue);
    const std::size_t total = rounds_;
    std::string span;
    if (!span_.whole()) span = " (the span asked for)";
    d["summary"] =
        std::to_string(total) + " rounds from " + source + span +
        (total > 0 ? ", " + first_clock_ + " to " + last_clock_ : "") + "; " +
        std::to_string(completed_) + " completed, " + std::to_string(total - completed_) + " not" +
        (width_ > 1 ? "; drawn in columns of " + std::to_string(width_) + " rounds" : "");
    d["bucket"] = static_cast<Json::UInt64>(width_);
    d["t0"] = static_cast<Json::Int64>(t0_);
    d["t_end"] = static_cast<Json::Int64>(columns_.empty() ? 1 : columns_.back().t_end + 1);
    d["groups"] = Json::Value(Json::arrayValue);
    for (const char* g : vocabulary::kValueGroups) {
        d["groups"].append(g);
    }
    d["names"] = Json::Value(Json::arrayValue);
    for (const char* name : kValueNames) d["names"].append(name);
    d["alarm_rows"] = Json::Value(Json::arrayValue);
    for (const auto& row : alarm_rows_) {
        Json::Value r(Json::arrayValue);
        for (const auto& f : row) r.append(f);
        d["alarm_rows"].append(r);
    }
    d["texts"] = Json::Value(Json::arrayValue);
    for (const auto& t : texts_) d["texts"].append(t);
    for (const char* key : {"t", "te", "first", "last", "status", "on", "lines", "complaint"}) {
        d[key] = Json::Value(Json::arrayValue);
    }
    d["min"] = d["max"] = d["gap"] = Json::Value(Json::arrayValue);
    for (std::size_t k = 0; k < 9; ++k) {
        d["min"].append(Json::Value(Json::arrayValue));
        d["max"].append(Json::Value(Json::arrayValue));
    }
    for (std::size_t g = 0; g < 3; ++g) d["gap"].append(Json::Value(Json::arrayValue));
    for (const Column& c : columns_) {
        d["t"].append(static_cast<Json::Int64>(c.t));
        d["te"].append(static_cast<Json::Int64>(c.t_end));
        d["first"].append(static_cast<Json::Int64>(c.first));
        d["last"].append(static_cast<Json::Int64>(c.last));
        d["status"].append(c.status);
        d["complaint"].append(c.complaint);
        d["on"].append(c.on);
        Json::Value lines(Json::arrayValue);
        for (const auto id : c.lines) lines.append(id);
        d["lines"].append(lines);
        for (std::size_t g = 0; g < 3; ++g)
            d["gap"][static_cast<Json::ArrayIndex>(g)].append(c.gap[g]);
        for (std::size_t k = 0; k < 9; ++k) {
            const auto kk = static_cast<Json::ArrayIndex>(k);
            if (c.lo[k] > c.hi[k]) {
                d["min"][kk].append(Json::Value());
                d["max"][kk].append(Json::Value());
            } else {
                d["min"][kk].append(c.lo[k]);
                d["max"][kk].append(c.hi[k]);
            }
        }
    }
    d["kinds"] = Json::Value(Json::arrayValue);
    d["counts"] = Json::Value(Json::arrayValue);
    for (std::size_t k = 0; k < kKinds; ++k) {
        d["kinds"].append(kKindNames[k]);
        d["counts"].append(static_cast<Json::UInt64>(counts_[k]));
    }
    d["unlisted"] = static_cast<Json::UInt64>(unlisted_);
    d["events"] = Json::Value(Json::arrayValue);
    for (const Event& e : events_) {
        Json::Value row(Json::arrayValue);
        row.append(static_cast<int>(e.kind));
        row.append(static_cast<Json::Int64>(e.round));
        row.append(e.end_round < 0 ? Json::Value()
                                   : Json::Value(static_cast<Json::Int64>(e.end_round)));
        row.append(static_cast<Json::Int64>(e.t));
        row.append(e.t_end < 0 ? Json::Value() : Json::Value(static_cast<Json::Int64>(e.t_end)));
        row.append(e.text);
        d["events"].append(row);
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["precision"] = 7;  // a float's digits, no more
    std::string data = Json::writeString(writer, d);
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
