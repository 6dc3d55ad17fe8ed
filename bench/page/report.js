"use strict";
// The report page of vx40-bench: charts of the nine values, the alarms' and
// the rounds' lanes, all on one time axis, and the table of events. The data
// (element #data) are columns of consecutive rounds and the events of the run.
const errors = [];
function fail(m) {
  errors.push(String(m));
  document.body.dataset.errors = JSON.stringify(errors);
}
window.addEventListener("error", (e) => fail(e.message));

const D = JSON.parse(document.getElementById("data").textContent);
const n = D.t.length;
// Every canvas is PW wide and draws time in [L, L + W]: a round has the same
// x in every chart and lane.
const PW = 1180, L = 300, R = 12, W = PW - L - R;
const STATUS = ["completed", "not completed", "reply missing", "frame refused"];
const STATUS_COLOUR = ["#2e9e44", "#e0b000", "#d0021b", "#7a0010"];
const GAP_COLOUR = {1: "#999", 2: "#f5a623", 4: "#9b59b6"};
const SERIES_COLOUR = ["#1f77b4", "#d62728", "#2ca02c"];
const DAY = 86400;
const whole = {a: 0, b: Math.max(1, D.t_end)};
let view = {a: whole.a, b: whole.b};
let drawn = null;

// Times are seconds of the bench's clock; shown as that clock showed them.
function clockText(sec) {
  return new Date((D.t0 + sec) * 1000).toISOString().slice(0, 19).replace("T", " ");
}
function axisText(sec) {
  const full = clockText(sec);
  return D.t_end > DAY ? full.slice(0, 16) : full.slice(11, 19);
}
function duration(sec) {
  if (sec < 60) return sec + " s";
  const h = Math.floor(sec / 3600), m = Math.floor((sec % 3600) / 60), s = sec % 60;
  return (h ? h + " h " : "") + m + " min" + (s ? " " + s + " s" : "");
}
function xOf(sec) {
  return L + ((sec - view.a) / (view.b - view.a)) * W;
}
// A column runs from its first round to one second after its last, and no
// further than the next column: a gap in time stays empty.
function colStart(i) {
  return xOf(D.t[i]);
}
function colEnd(i) {
  const end = xOf(D.te[i] + 1);
  return i + 1 < n ? Math.min(end, colStart(i + 1)) : end;
}
function columnAt(px) {
  let lo = 0, hi = n - 1;
  while (lo < hi) {
    const mid = (lo + hi + 1) >> 1;
    if (colStart(mid) <= px) lo = mid;
    else hi = mid - 1;
  }
  return lo;
}
function columnOfRound(round) {
  let lo = 0, hi = n - 1;
  while (lo < hi) {
    const mid = (lo + hi + 1) >> 1;
    if (D.first[mid] <= round) lo = mid;
    else hi = mid - 1;
  }
  return lo;
}
function roundsOf(i) {
  return D.first[i] === D.last[i] ? "round " + D.first[i] : "rounds " + D.first[i] + "-" + D.last[i];
}
function describe(i) {
  let s = roundsOf(i) + "  " + clockText(D.t[i]) + "\n" + STATUS[D.status[i]];
  for (let g = 0; g < 3; g++) {
    s += "\n" + D.groups[g] + ":";
    for (let k = 3 * g; k < 3 * g + 3; k++) {
      const lo = D.min[k][i], hi = D.max[k][i];
      s += " " + (lo === null ? "-" : lo === hi ? lo : lo + ".." + hi);
    }
    if (D.gap[g][i]) {
      const why = ["not ready", "stale", "unsupported"].filter((_, b) => D.gap[g][i] & (1 << b));
      s += "  (" + why.join(", ") + ")";
    }
  }
  const on = D.alarm_rows.filter((_, r) => D.on[i] & (1 << r)).map((r) => r[0] + " " + r[2] + " (" + r[3] + ")");
  s += "\nalarms active: " + (on.length ? "\n  " + on.join("\n  ") : "none");
  const lines = D.lines[i].map((id) => D.texts[id]);
  if (lines.length) s += "\nlines:\n  " + lines.join("\n  ");
  return s;
}
function showDetail(i) {
  document.getElementById("detail").textContent = n ? describe(i) : "-";
}

function canvas(box, height, name) {
  const c = document.createElement("canvas");
  c.width = PW;
  c.height = height;
  c.dataset.name = name;
  box.appendChild(c);
  const tip = document.getElementById("tip");
  c.addEventListener("mousemove", (e) => {
    const r = c.getBoundingClientRect(), px = e.clientX - r.left;
    if (px < L || px > L + W || !n) {
      tip.style.display = "none";
      return;
    }
    tip.textContent = describe(columnAt(px));
    tip.style.left = e.clientX + 14 + "px";
    tip.style.top = e.clientY + 14 + "px";
    tip.style.display = "block";
  });
  c.addEventListener("mouseleave", () => {
    tip.style.display = "none";
  });
  c.addEventListener("click", (e) => {
    const r = c.getBoundingClientRect(), px = e.clientX - r.left;
    if (px >= L && px <= L + W && n) showDetail(columnAt(px));
  });
  const x = c.getContext("2d");
  x.font = "11px sans-serif";
  // Where this canvas puts three columns, in page coordinates.
  const left = c.getBoundingClientRect().left + window.scrollX;
  const probe = n ? [0, n >> 1, n - 1] : [];
  drawn.x[name] = probe.map((i) => left + colStart(i));
  drawn.plot[name] = [left + L, W];
  return x;
}
// The visible columns: those that reach into [L, L + W].
function visible(i) {
  return colEnd(i) >= L && colStart(i) <= L + W;
}
function clip(x, top, height) {
  x.save();
  x.beginPath();
  x.rect(L, top, W, height);
  x.clip();
}

function chart(g) {
  const H = 190, top = 8, bottom = 22, h = H - top - bottom;
  const wrap = document.createElement("div");
  const title = document.createElement("h2");
  title.textContent = D.groups[g];
  wrap.appendChild(title);
  document.getElementById("charts").appendChild(wrap);
  const x = canvas(wrap, H, "chart " + g);
  let lo = Infinity, hi = -Infinity;
  for (let k = 3 * g; k < 3 * g + 3; k++) {
    for (let i = 0; i < n; i++) {
      if (D.min[k][i] !== null && visible(i)) {
        lo = Math.min(lo, D.min[k][i]);
        hi = Math.max(hi, D.max[k][i]);
      }
    }
  }
  if (lo === Infinity) {
    lo = 0;
    hi = 1;
  }
  if (hi - lo < 1e-6) {
    lo -= 1;
    hi += 1;
  }
  const pad = (hi - lo) * 0.08;
  lo -= pad;
  hi += pad;
  const y = (v) => top + ((hi - v) / (hi - lo)) * h;
  x.fillStyle = "#555";
  x.strokeStyle = "#eee";
  const step = (hi - lo) / 4, digits = step >= 10 ? 0 : step >= 1 ? 1 : step >= 0.1 ? 2 : 3;
  x.textAlign = "right";
  for (let t = 0; t <= 4; t++) {
    const v = lo + step * t, yy = y(v);
    x.beginPath();
    x.moveTo(L, yy);
    x.lineTo(L + W, yy);
    x.stroke();
    x.fillText(v.toFixed(digits), L - 6, yy + 4);
  }
  axis(x, H - 6);
  clip(x, top, h);
  const gaps = [];
  for (let i = 0; i < n; i++) {
    if (!D.gap[g][i]) continue;
    gaps.push([D.first[i], D.gap[g][i]]);
    if (!visible(i)) continue;
    const a = colStart(i), b = Math.max(colEnd(i), a + 3), code = D.gap[g][i];
    x.fillStyle = GAP_COLOUR[code & 2 ? 2 : code & 1 ? 1 : 4];
    x.globalAlpha = 0.35;
    x.fillRect(a, top, b - a, h);
    x.globalAlpha = 1;
  }
  const series = [];
  for (let k = 3 * g; k < 3 * g + 3; k++) {
    const points = [];
    x.strokeStyle = x.fillStyle = SERIES_COLOUR[k - 3 * g];
    x.lineWidth = 1.5;
    for (const arr of D.bucket > 1 ? [D.min[k], D.max[k]] : [D.max[k]]) {
      x.beginPath();
      let open = false;
      for (let i = 0; i < n; i++) {
        const v = arr[i];
        if (v === null) {
          open = false;
          continue;
        }
        if (arr === D.max[k]) points.push([D.first[i], v]);
        if (!visible(i)) {
          open = false;
          continue;
        }
        const px = colStart(i), py = y(v);
        if (open) x.lineTo(px, py);
        else {
          x.moveTo(px, py);
          x.fillRect(px - 1, py - 1, 2, 2);
        }
        open = true;
      }
      x.stroke();
    }
    series.push({name: D.names[k], points});
  }
  x.restore();
  // The series' names in the margin, clear of the lines.
  x.textAlign = "left";
  series.forEach((s, j) => {
    x.fillStyle = SERIES_COLOUR[j];
    x.fillRect(8, top + 8 + j * 18, 10, 10);
    x.fillStyle = "#333";
    x.fillText(s.name, 24, top + 17 + j * 18);
  });
  drawn.charts.push({group: D.groups[g], series, gaps});
}
// Six labels along the time axis, under the plot; dates when the run spans
// more than a day.
function axis(x, baseline) {
  x.fillStyle = "#555";
  const labels = [];
  for (let t = 0; t <= 5; t++) {
    const sec = Math.round(view.a + ((view.b - view.a) * t) / 5);
    x.textAlign = t === 0 ? "left" : t === 5 ? "right" : "center";
    labels.push(axisText(sec));
    x.fillText(labels[t], L + (W * t) / 5, baseline);
  }
  x.textAlign = "left";
  drawn.axis = labels;
}
function fitted(x, text, width) {
  if (x.measureText(text).width <= width) return text;
  while (text.length > 1 && x.measureText(text + "…").width > width) text = text.slice(0, -1);
  return text + "…";
}
function lanes(box, name, labels, paint) {
  const rowH = 16, H = labels.length * rowH + 18;
  const x = canvas(document.getElementById(box), H, name);
  labels.forEach((label, row) => {
    x.fillStyle = row % 2 ? "#fafafa" : "#f0f0f0";
    x.fillRect(0, row * rowH, PW, rowH);
    x.fillStyle = "#333";
    x.fillText(fitted(x, label, L - 12), 4, row * rowH + 12);
  });
  axis(x, H - 4);
  clip(x, 0, labels.length * rowH);
  paint(x, rowH);
  x.restore();
}

function draw() {
  drawn = {charts: [], alarms: [], rounds: [], complaints: [], x: {}, plot: {}};
  for (const id of ["charts", "alarms", "lanes"]) document.getElementById(id).textContent = "";
  document.getElementById("view-span").textContent =
    clockText(Math.floor(view.a)) + " to " + clockText(Math.ceil(view.b) - 1);
  for (let g = 0; g < 3; g++) chart(g);
  const labels = D.alarm_rows.map((r) => r[0] + "  " + r[1] + "  " + r[2] + "  " + r[3]);
  lanes("alarms", "alarms", labels, (x, rowH) => {
    D.alarm_rows.forEach((_, row) => {
      x.fillStyle = "#d0021b";
      let start = -1;
      for (let i = 0; i <= n; i++) {
        const on = i < n && D.on[i] & (1 << row);
        if (on && start < 0) start = i;
        if (!on && start >= 0) {
          const a = colStart(start), b = Math.max(colEnd(i - 1), a + 3);
          x.fillRect(a, row * rowH + 3, b - a, rowH - 6);
          drawn.alarms.push([row, D.first[start], D.last[i - 1]]);
          start = -1;
        }
      }
    });
  });
  lanes("lanes", "rounds", ["round outcome", "plug-in complained (short reply)"], (x, rowH) => {
    for (let i = 0; i < n; i++) {
      drawn.rounds.push([D.first[i], D.status[i]]);
      if (D.complaint[i]) drawn.complaints.push(D.first[i]);
      if (!visible(i)) continue;
      const a = colStart(i), b = Math.max(colEnd(i) - 1, a + 2);
      x.fillStyle = STATUS_COLOUR[D.status[i]];
      x.fillRect(a, 2, b - a, rowH - 4);
      if (D.complaint[i]) {
        x.fillStyle = "#222";
        x.beginPath();
        x.moveTo(a, 2 * rowH - 2);
        x.lineTo(a + 5, rowH + 3);
        x.lineTo(a + 10, 2 * rowH - 2);
        x.fill();
      }
    }
  });
  document.body.dataset.drawn = JSON.stringify(drawn);
}

// The events: sortable by time, kind and duration; a click centres the
// charts on the event and shows its round.
const EVENT_KIND = 0, EVENT_ROUND = 1, EVENT_END_ROUND = 2, EVENT_T = 3, EVENT_END_T = 4, EVENT_TEXT = 5;
function eventLength(e) {
  return e[EVENT_END_T] === null ? Infinity : e[EVENT_END_T] - e[EVENT_T];
}
const sorters = {
  time: (a, b) => a[EVENT_T] - b[EVENT_T] || a[EVENT_ROUND] - b[EVENT_ROUND],
  kind: (a, b) => a[EVENT_KIND] - b[EVENT_KIND] || a[EVENT_T] - b[EVENT_T],
  duration: (a, b) => eventLength(a) - eventLength(b) || a[EVENT_T] - b[EVENT_T],
};
let order = {key: "time", up: true};
function eventRows() {
  const body = document.querySelector("#events tbody");
  const rows = D.events.slice().sort(sorters[order.key]);
  if (!order.up) rows.reverse();
  const fragment = document.createDocumentFragment();
  for (const e of rows) {
    const tr = document.createElement("tr");
    const rounds = e[EVENT_END_ROUND] === null || e[EVENT_END_ROUND] === e[EVENT_ROUND]
      ? String(e[EVENT_ROUND]) : e[EVENT_ROUND] + "-" + e[EVENT_END_ROUND];
    const span = e[EVENT_KIND] === 0 || e[EVENT_KIND] === 1
      ? (e[EVENT_END_T] === null ? "still active at the end" : duration(e[EVENT_END_T] - e[EVENT_T])) : "";
    for (const text of [clockText(e[EVENT_T]), D.kinds[e[EVENT_KIND]], rounds, D.texts[e[EVENT_TEXT]], span]) {
      const td = document.createElement("td");
      td.textContent = text;
      tr.appendChild(td);
    }
    tr.addEventListener("click", () => {
      for (const other of body.querySelectorAll("tr.chosen")) other.classList.remove("chosen");
      tr.classList.add("chosen");
      centre(e);
    });
    fragment.appendChild(tr);
  }
  body.textContent = "";
  body.appendChild(fragment);
  document.body.dataset.eventOrder = order.key + (order.up ? " up" : " down");
}
function centre(e) {
  const end = e[EVENT_END_T] === null ? whole.b : e[EVENT_END_T] + 1;
  const pad = Math.max(30, (end - e[EVENT_T]) / 2);
  view = {a: Math.max(whole.a, e[EVENT_T] - pad), b: Math.min(whole.b, end + pad)};
  draw();
  showDetail(columnOfRound(e[EVENT_ROUND]));
  document.body.dataset.view = JSON.stringify([view.a, view.b]);
}

try {
  document.getElementById("sum").textContent = D.summary;
  document.getElementById("event-counts").textContent =
    D.kinds.map((k, i) => k + ": " + D.counts[i]).join(", ") +
    (D.unlisted ? "; the first " + D.events.length + " events are listed, " + D.unlisted + " more are counted only" : "");
  draw();
  eventRows();
  for (const th of document.querySelectorAll("#events th[data-sort]")) {
    th.addEventListener("click", () => {
      const key = th.dataset.sort;
      order = {key, up: order.key === key ? !order.up : true};
      eventRows();
    });
  }
  document.getElementById("whole").addEventListener("click", () => {
    view = {a: whole.a, b: whole.b};
    draw();
  });
} catch (e) {
  fail((e && e.stack) || e);
}
document.body.dataset.drawMs = performance.now().toFixed(0);
document.body.dataset.ready = "1";
