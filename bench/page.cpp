#include "page.h"

#include <json/writer.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

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
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) != 6 ||
        mo < 1 || mo > 12 || d < 1 || d > 31) {
        fault("clock \"" + text + "\" is not YYYY-MM-DD HH:MM:SS");
    }
    // Days from the civil date (proleptic Gregorian).
    const int yy = mo <= 2 ? y - 1 : y;
    const int era = (yy >= 0 ? yy : yy - 399) / 400;
    const int yoe = yy - era * 400;
    const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
    return days * 86400 + h * 3600 + mi * 60 + s;
}

std::uint8_t refusal_bit(const std::string& code)
{
    if (code == "not_ready") return 1;
    if (code == "stale") return 2;
    return 4;
}

// The page's script and style; the data goes between the two halves.
constexpr const char* kHead = R"PAGE(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>vx40-bench report</title>
<style>
body{font:13px system-ui,sans-serif;margin:16px;color:#222;background:#fff;width:1120px}
h1{font-size:18px;margin:0 0 4px}h2{font-size:14px;margin:14px 0 4px}
#sum{color:#444;margin-bottom:8px}canvas{display:block;border:1px solid #ddd}
.lanes{display:grid;grid-template-columns:360px 740px;column-gap:8px}
.lab{font-size:11px;height:16px;line-height:16px;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.key span{display:inline-block;margin-right:14px}.key i{display:inline-block;width:10px;height:10px;margin-right:4px}
#tip{position:fixed;pointer-events:none;background:#fffbe6;border:1px solid #cca;padding:4px 6px;font-size:12px;display:none;max-width:520px;white-space:pre-wrap}
#detail{white-space:pre-wrap;font:12px monospace;background:#f6f6f6;padding:6px;min-height:3em}
</style></head><body>
<h1>vx40-bench report</h1><div id="sum"></div>
<div class="key"><span><i style="background:#999"></i>not ready</span><span><i style="background:#f5a623"></i>stale</span><span><i style="background:#9b59b6"></i>unsupported</span><span><i style="background:#2e9e44"></i>round completed</span><span><i style="background:#e0b000"></i>not completed</span><span><i style="background:#d0021b"></i>reply missing</span><span><i style="background:#7a0010"></i>frame refused</span></div>
<div id="charts"></div>
<h2>Alarms</h2><div class="lanes" id="alarms"></div>
<h2>Rounds</h2><div class="lanes" id="lanes"></div>
<h2>Round detail (click a chart or a lane)</h2><div id="detail">-</div>
<div id="tip"></div>
<script type="application/json" id="data">)PAGE";

constexpr const char* kTail = R"PAGE(</script>
<script>
"use strict";
const errors = [];
function fail(m) { errors.push(String(m)); document.body.dataset.errors = JSON.stringify(errors); }
window.addEventListener("error", e => fail(e.message));
const D = JSON.parse(document.getElementById("data").textContent);
const n = D.t.length, L = 64, R = 12, PW = 1100;
const drawn = {charts: [], alarms: [], rounds: []};
const span = Math.max(1, D.t_end - (n ? D.t[0] : 0));
const STATUS = ["completed", "not completed", "reply missing", "frame refused"];
const STATUS_COLOUR = ["#2e9e44", "#e0b000", "#d0021b", "#7a0010"];
const GAP_COLOUR = {1: "#999", 2: "#f5a623", 4: "#9b59b6"};
function xAt(i, left, width) { return left + (D.t[i] - D.t[0]) / span * width; }
// A column ends where the next begins, but spans no more than the usual
// step between columns: a gap in time stays empty.
const steps = D.t.slice(1).map((t, i) => t - D.t[i]).sort((a, b) => a - b);
const usual = Math.max(1, steps.length ? steps[steps.length >> 1] : 1);
function xEnd(i, left, width) {
  const next = i + 1 < n ? xAt(i + 1, left, width) : left + width;
  return Math.min(next, xAt(i, left, width) + usual / span * width);
}
function bucketAt(px, left, width) {
  let lo = 0, hi = n - 1;
  while (lo < hi) { const mid = (lo + hi + 1) >> 1; if (xAt(mid, left, width) <= px) lo = mid; else hi = mid - 1; }
  return lo;
}
function roundsOf(i) { return D.first[i] === D.last[i] ? "round " + D.first[i] : "rounds " + D.first[i] + "-" + D.last[i]; }
function describe(i) {
  let s = roundsOf(i) + "  " + D.clock[i] + "\n" + STATUS[D.status[i]];
  for (let g = 0; g < 3; g++) {
    s += "\n" + D.groups[g] + ":";
    for (let k = 3 * g; k < 3 * g + 3; k++) {
      const lo = D.min[k][i], hi = D.max[k][i];
      s += " " + (lo === null ? "-" : lo === hi ? lo : lo + ".." + hi);
    }
    if (D.gap[g][i]) s += "  (" + ["not ready", "stale", "unsupported"].filter((_, b) => D.gap[g][i] & (1 << b)).join(", ") + ")";
  }
  const on = D.alarm_rows.filter((_, r) => D.on[i] & (1 << r)).map(r => r[0] + " " + r[2] + " (" + r[3] + ")");
  s += "\nalarms active: " + (on.length ? "\n  " + on.join("\n  ") : "none");
  const lines = D.lines[i].map(id => D.texts[id]);
  if (lines.length) s += "\nlines:\n  " + lines.join("\n  ");
  return s;
}
function hover(canvas, left, width) {
  const tip = document.getElementById("tip");
  canvas.addEventListener("mousemove", e => {
    const r = canvas.getBoundingClientRect(), px = e.clientX - r.left;
    if (px < left || px > left + width || !n) { tip.style.display = "none"; return; }
    tip.textContent = describe(bucketAt(px, left, width));
    tip.style.left = (e.clientX + 14) + "px"; tip.style.top = (e.clientY + 14) + "px"; tip.style.display = "block";
  });
  canvas.addEventListener("mouseleave", () => { tip.style.display = "none"; });
  canvas.addEventListener("click", e => {
    const r = canvas.getBoundingClientRect(), px = e.clientX - r.left;
    if (px >= left && px <= left + width && n) document.getElementById("detail").textContent = describe(bucketAt(px, left, width));
  });
}
function timeLabel(sec) {
  const d = new Date((D.t[0] + D.t0 + sec) * 1000).toISOString();
  return d.slice(11, 19);
}
function chart(g) {
  const H = 190, top = 8, bottom = 22, width = PW - L - R, h = H - top - bottom;
  const wrap = document.createElement("div");
  wrap.innerHTML = "<h2></h2>";
  wrap.firstChild.textContent = D.groups[g];
  const c = document.createElement("canvas");
  c.width = PW; c.height = H; c.dataset.group = g;
  wrap.appendChild(c);
  document.getElementById("charts").appendChild(wrap);
  const x = c.getContext("2d");
  let lo = Infinity, hi = -Infinity;
  for (let k = 3 * g; k < 3 * g + 3; k++) for (let i = 0; i < n; i++) {
    if (D.min[k][i] !== null) { lo = Math.min(lo, D.min[k][i]); hi = Math.max(hi, D.max[k][i]); }
  }
  if (lo === Infinity) { lo = 0; hi = 1; }
  if (hi - lo < 1e-6) { lo -= 1; hi += 1; }
  const pad = (hi - lo) * 0.08; lo -= pad; hi += pad;
  const y = v => top + (hi - v) / (hi - lo) * h;
  x.font = "11px sans-serif"; x.fillStyle = "#555"; x.strokeStyle = "#eee";
  const step = (hi - lo) / 4, digits = step >= 10 ? 0 : step >= 1 ? 1 : step >= 0.1 ? 2 : 3;
  for (let t = 0; t <= 4; t++) {
    const v = lo + step * t, yy = y(v);
    x.beginPath(); x.moveTo(L, yy); x.lineTo(L + width, yy); x.stroke();
    x.fillText(v.toFixed(digits), 4, yy + 4);
  }
  for (let t = 0; t <= 5; t++) x.fillText(timeLabel(span * t / 5), L + width * t / 5 - (t === 5 ? 48 : t ? 24 : 0), H - 6);
  const gaps = [];
  for (let i = 0; i < n; i++) if (D.gap[g][i]) {
    const a = xAt(i, L, width), b = Math.max(xEnd(i, L, width), a + 3);
    const code = D.gap[g][i];
    x.fillStyle = GAP_COLOUR[code & 2 ? 2 : code & 1 ? 1 : 4]; x.globalAlpha = 0.35;
    x.fillRect(a, top, b - a, h); x.globalAlpha = 1;
    gaps.push([D.first[i], code]);
  }
  const colours = ["#1f77b4", "#d62728", "#2ca02c"], series = [];
  for (let k = 3 * g; k < 3 * g + 3; k++) {
    const points = [];
    for (const arr of n && D.bucket > 1 ? [D.min[k], D.max[k]] : [D.max[k]]) {
      x.strokeStyle = colours[k - 3 * g]; x.lineWidth = 1.5; x.beginPath();
      let open = false;
      for (let i = 0; i < n; i++) {
        const v = arr[i];
        if (v === null) { open = false; continue; }
        const px = xAt(i, L, width), py = y(v);
        if (open) x.lineTo(px, py); else { x.moveTo(px, py); x.fillRect(px - 1, py - 1, 2, 2); }
        open = true;
        if (arr === D.max[k]) points.push([D.first[i], v]);
      }
      x.stroke();
    }
    series.push({name: D.names[k], points});
  }
  x.fillStyle = "#333";
  series.forEach((s, j) => { x.fillStyle = colours[j]; x.fillText(s.name, L + 8 + j * 190, top + 12); });
  drawn.charts.push({group: D.groups[g], series, gaps});
  hover(c, L, width);
}
function lanes(id, rows, paint) {
  const box = document.getElementById(id), width = 740 - 4;
  for (const r of rows) { const d = document.createElement("div"); d.className = "lab"; d.textContent = r; box.appendChild(d); }
  const c = document.createElement("canvas");
  c.width = 740; c.height = rows.length * 16;
  c.style.gridColumn = "2"; c.style.gridRow = "1 / span " + rows.length;
  box.appendChild(c);
  box.querySelectorAll(".lab").forEach((d, j) => { d.style.gridColumn = "1"; d.style.gridRow = String(j + 1); });
  paint(c.getContext("2d"), 2, width);
  hover(c, 2, width);
}
try {
  document.getElementById("sum").textContent = D.summary;
  for (let g = 0; g < 3; g++) chart(g);
  lanes("alarms", D.alarm_rows.map(r => r[0] + "  " + r[1] + "  " + r[2] + "  " + r[3]), (x, left, width) => {
    D.alarm_rows.forEach((_, row) => {
      x.fillStyle = row % 2 ? "#fafafa" : "#f0f0f0"; x.fillRect(0, row * 16, 740, 16);
      x.fillStyle = "#d0021b";
      let start = -1;
      for (let i = 0; i <= n; i++) {
        const on = i < n && (D.on[i] & (1 << row));
        if (on && start < 0) start = i;
        if (!on && start >= 0) {
          const a = xAt(start, left, width), b = Math.max(xEnd(i - 1, left, width), a + 3);
          x.fillRect(a, row * 16 + 3, b - a, 10);
          drawn.alarms.push([row, D.first[start], D.last[i - 1]]);
          start = -1;
        }
      }
    });
  });
  lanes("lanes", ["round outcome", "plug-in complained (short reply)"], (x, left, width) => {
    drawn.complaints = [];
    for (let i = 0; i < n; i++) {
      const a = xAt(i, left, width), b = Math.max(xEnd(i, left, width) - 1, a + 2);
      x.fillStyle = STATUS_COLOUR[D.status[i]]; x.fillRect(a, 2, b - a, 12);
      drawn.rounds.push([D.first[i], D.status[i]]);
      if (D.complaint[i]) {
        x.fillStyle = "#222"; x.beginPath();
        x.moveTo(a, 30); x.lineTo(a + 5, 19); x.lineTo(a + 10, 30); x.fill();
        drawn.complaints.push(D.first[i]);
      }
    }
  });
} catch (e) { fail(e && e.stack || e); }
document.body.dataset.drawn = JSON.stringify(drawn);
document.body.dataset.drawMs = performance.now().toFixed(0);
document.body.dataset.ready = "1";
</script></body></html>
)PAGE";

}  // namespace

std::uint32_t ReportPage::text_id(const std::string& text)
{
    const auto found = text_ids_.find(text);
    if (found != text_ids_.end()) return found->second;
    const auto id = static_cast<std::uint32_t>(texts_.size());
    texts_.push_back(text);
    text_ids_.emplace(text, id);
    return id;
}

void ReportPage::add(const Json::Value& round)
{
    if (!round.isObject()) fault("a round is not a JSON object");
    const Json::Value& number_of = round["round"];
    if (!number_of.isInt64()) fault("\"round\" missing or not a number");
    const std::string where = "round " + number_of.asString() + ": ";
    if (!round["clock"].isString()) fault(where + "\"clock\" missing");
    const std::int64_t clock = seconds_of(round["clock"].asString());
    const Json::Value& values = round["values"];
    if (!values.isObject()) fault(where + "\"values\" missing");
    for (std::size_t k = 0; k < 9; ++k) {
        const Json::Value& v = values[kValueNames[k]];
        if (v.isNumeric()) {
            value_[k].push_back(v.asFloat());
            refused_[k].push_back(0);
        } else if (v.isObject() && v["error"].isString()) {
            value_[k].push_back(std::numeric_limits<float>::quiet_NaN());
            refused_[k].push_back(refusal_bit(v["error"].asString()));
        } else {
            fault(where + "value " + kValueNames[k] + " missing");
        }
    }
    round_.push_back(static_cast<long>(number_of.asInt64()));
    clock_.push_back(clock);
    clock_text_.push_back(round["clock"].asString());
    const bool completed = round["completed"].asBool();
    const bool refused = !round["rejected"].empty();
    const bool missing = !round["missing"].empty();
    status_.push_back(completed ? 0 : refused ? 3 : missing ? 2 : 1);

    const Json::Value& alarms = round["alarms"];
    std::uint32_t active = active_.empty() ? 0 : active_.back();
    if (alarms.isArray() && !alarms.empty()) {
        active = 0;
        for (Json::ArrayIndex i = 0; i < alarms.size() && i < 32; ++i) {
            const Json::Value& a = alarms[i];
            if (alarm_rows_.size() <= i) {
                const std::string text = a["text"].asString();
                alarm_rows_.push_back(
                    {a["signal"].asString(), a["nm"].asString(), text, gloss(text)});
            }
            if (a["active"].asBool()) active |= 1U << i;
        }
    }
    active_.push_back(active);

    std::vector<std::uint32_t> ids;
    bool complaint = false;
    for (const auto& l : round["log"]) {
        // The plug-in's complaints about a reply begin "error in".
        complaint = complaint || l.asString().rfind("error in", 0) == 0;
        ids.push_back(text_id(l.asString()));
    }
    complaint_.push_back(complaint);
    for (const auto& j : round["rejected"])
        ids.push_back(text_id("rejected frame: " + j.asString()));
    for (const auto& m : round["missing"]) ids.push_back(text_id("no reply to " + m.asString()));
    lines_.push_back(std::move(ids));
}

void ReportPage::write(std::ostream& out, const std::string& source) const
{
    const std::size_t total = round_.size();
    const std::size_t bucket = std::max<std::size_t>(1, (total + kMaxColumns - 1) / kMaxColumns);
    const std::int64_t t0 = total > 0 ? clock_.front() : 0;
    Json::Value d(Json::objectValue);
    std::size_t completed = 0;
    for (const auto s : status_) completed += s == 0 ? 1 : 0;
    d["summary"] =
        std::to_string(total) + " rounds from " + source +
        (total > 0 ? ", " + clock_text_.front() + " to " + clock_text_.back() : "") + "; " +
        std::to_string(completed) + " completed, " + std::to_string(total - completed) + " not" +
        (bucket > 1 ? "; drawn in columns of " + std::to_string(bucket) + " rounds" : "");
    d["bucket"] = static_cast<Json::UInt64>(bucket);
    d["t0"] = static_cast<Json::Int64>(t0);
    d["t_end"] = static_cast<Json::Int64>(total > 0 ? clock_.back() - t0 + 1 : 1);
    d["groups"] = Json::Value(Json::arrayValue);
    for (const char* g : {"Input voltage (V)", "Output voltage (V)", "Output current (A)"}) {
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
    for (const char* key : {"t", "first", "last", "clock", "status", "on", "lines", "complaint"}) {
        d[key] = Json::Value(Json::arrayValue);
    }
    d["min"] = d["max"] = d["gap"] = Json::Value(Json::arrayValue);
    for (std::size_t k = 0; k < 9; ++k) {
        d["min"].append(Json::Value(Json::arrayValue));
        d["max"].append(Json::Value(Json::arrayValue));
    }
    for (std::size_t g = 0; g < 3; ++g) d["gap"].append(Json::Value(Json::arrayValue));
    for (std::size_t at = 0; at < total; at += bucket) {
        const std::size_t end = std::min(total, at + bucket);
        d["t"].append(static_cast<Json::Int64>(clock_[at] - t0));
        d["first"].append(static_cast<Json::Int64>(round_[at]));
        d["last"].append(static_cast<Json::Int64>(round_[end - 1]));
        d["clock"].append(clock_text_[at]);
        std::uint8_t worst = 0;
        std::uint32_t on = 0;
        Json::Value lines(Json::arrayValue);
        std::vector<std::uint32_t> seen;
        for (std::size_t i = at; i < end; ++i) {
            worst = std::max(worst, status_[i]);
            on |= active_[i];
            for (const auto id : lines_[i]) {
                if (seen.size() < 20 && std::find(seen.begin(), seen.end(), id) == seen.end()) {
                    seen.push_back(id);
                    lines.append(id);
                }
            }
        }
        d["status"].append(worst);
        d["complaint"].append(std::any_of(complaint_.begin() + static_cast<std::ptrdiff_t>(at),
                                          complaint_.begin() + static_cast<std::ptrdiff_t>(end),
                                          [](bool c) { return c; }));
        d["on"].append(on);
        d["lines"].append(lines);
        for (std::size_t g = 0; g < 3; ++g) {
            unsigned gap = 0;
            for (std::size_t i = at; i < end; ++i) {
                for (std::size_t k = 3 * g; k < 3 * g + 3; ++k) gap |= refused_[k][i];
            }
            d["gap"][static_cast<Json::ArrayIndex>(g)].append(gap);
        }
        for (std::size_t k = 0; k < 9; ++k) {
            float lo = std::numeric_limits<float>::infinity();
            float hi = -lo;
            for (std::size_t i = at; i < end; ++i) {
                if (std::isnan(value_[k][i])) continue;
                lo = std::min(lo, value_[k][i]);
                hi = std::max(hi, value_[k][i]);
            }
            const auto kk = static_cast<Json::ArrayIndex>(k);
            if (lo > hi) {
                d["min"][kk].append(Json::Value());
                d["max"][kk].append(Json::Value());
            } else {
                d["min"][kk].append(lo);
                d["max"][kk].append(hi);
            }
        }
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["precision"] = 7;  // a float's digits, no more
    std::string data = Json::writeString(writer, d);
    // Inside a script element nothing may close it: "</" is written "<\/".
    for (std::size_t at = data.find("</"); at != std::string::npos; at = data.find("</", at + 3)) {
        data.replace(at, 2, "<\\/");
    }
    out << kHead << data << kTail;
}

}  // namespace bench
