#include "tap.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>

#include "number.h"
#include "recording.h"
#include "text.h"
#include "vocabulary.h"
#include "wire_fault.h"

namespace ups {

namespace {

using io::Clock;

// Reads what the line has now; LineLost when it is gone.
std::size_t read_some(int fd, char* buf, std::size_t size, const std::string& name)
{
    const ssize_t n = read(fd, buf, size);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    throw io::LineLost(name +
                       (n == 0 ? ": the line hung up" : ": " + std::string(strerror(errno))));
}

}  // namespace

Tap::Tap(int host_fd, int ups_fd, TapSetup setup, Outputs& outputs)
    : host_fd_(host_fd), ups_fd_(ups_fd), setup_(std::move(setup)), outputs_(outputs)
{
    last_clock_ = std::time(nullptr);
    std::string line;
    io::session_event(line, setup_.device_id, setup_.settings, "", last_clock_,
                      "tap between " + setup_.host_name + " and " + setup_.ups_name, setup_.baud,
                      setup_.timeout_ms);
    record(line);
}

double Tap::now_t() const
{
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

void Tap::trace(const std::string& what)
{
    if (!outputs_.tracing()) return;
    outputs_.trace(stamp(now_t()) + "round " + std::to_string(round_) + " " + what);
}

void Tap::show(const std::string& line)
{
    if (!setup_.quiet) std::cout << (line + '\n') << std::flush;
}

void Tap::run(const std::function<bool()>& stopped)
{
    char buf[512];
    while (!stopped() && outputs_.error().empty()) {
        pollfd fds[2] = {{host_fd_, POLLIN, 0}, {ups_fd_, POLLIN, 0}};
        if (poll(fds, 2, 10) < 0 && errno != EINTR) {
            throw io::LineLost(std::string("poll: ") + strerror(errno));
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            from_host(buf, read_some(host_fd_, buf, sizeof buf, setup_.host_name));
        }
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            from_ups(buf, read_some(ups_fd_, buf, sizeof buf, setup_.ups_name));
        }
        // Delayed replies whose time has come, then the host's timeout.
        const auto now = Clock::now();
        for (auto s = scheduled_.begin(); s != scheduled_.end();) {
            if (s->when > now) {
                ++s;
                continue;
            }
            const Scheduled due = *s;
            s = scheduled_.erase(s);
            check_timeout();
            const bool late = pending_ && pending_->timed_out;
            to_host(due.bytes, due.what, late);
        }
        check_timeout();
    }
    // The last round's values were read, as far as the host went.
    if (round_ > 0) {
        std::string line;
        io::clock_event(line, "read", round_, last_clock_);
        record(line);
    }
}

void Tap::check_timeout()
{
    if (!pending_ || pending_->answered || pending_->timed_out) return;
    if (Clock::now() < pending_->sent + std::chrono::milliseconds(setup_.timeout_ms)) return;
    pending_->timed_out = true;
    std::string line;
    io::frame_event(line, "timeout", now_t(), round_, step_, "", nullptr);
    record(line);
    trace("-- no reply within " + std::to_string(setup_.timeout_ms) + " ms");
    show("round " + std::to_string(round_) + "  2A" + protocol::hex(pending_->cid2) +
         "  timed out");
    const std::lock_guard<std::mutex> lock(mutex_);
    ++timeouts_;
}

void Tap::from_host(const char* data, std::size_t n)
{
    // The host's characters go on unchanged, at once.
    io::write_all(ups_fd_, data, n, setup_.ups_name);
    for (std::size_t i = 0; i < n; ++i) {
        if (host_finder_.noise_full())
            trace("host noise " + protocol::printable(host_finder_.take_noise()));
        if (!host_finder_.put(data[i])) continue;
        if (!host_finder_.noise().empty())
            trace("host noise " + protocol::printable(host_finder_.noise()));
        on_request(host_finder_.frame());
    }
}

void Tap::on_request(const std::string& frame)
{
    const auto head = protocol::frame_head(frame);
    const std::uint8_t cid2 = head ? head->cid2 : 0;
    last_clock_ = std::time(nullptr);
    // A request the host sent before its timeout fell: it gave up on the last.
    check_timeout();
    if (pending_ && !pending_->answered && !pending_->timed_out) {
        std::string line;
        io::frame_event(line, "timeout", now_t(), round_, step_, "", nullptr);
        record(line);
    }
    if (cid2 == vocabulary::kRequests.front().cid2 || round_ == 0) {
        std::string line;
        if (round_ > 0) {
            io::clock_event(line, "read", round_, last_clock_);
            record(line);
            line.clear();
        }
        ++round_;
        step_ = 0;
        const auto& rounds = setup_.scenario != nullptr ? setup_.scenario->rounds
                                                        : std::vector<emulator::RoundScript>{};
        const auto i = static_cast<std::size_t>(round_ - 1);
        script_ = i < rounds.size() ? rounds[i] : emulator::RoundScript{};
        io::clock_event(line, "round", round_, last_clock_);
        record(line);
    }
    ++step_;
    std::string line;
    io::frame_event(line, "tx", now_t(), round_, step_, frame, nullptr);
    record(line);
    for (const std::string& late : deferred_) record(late);
    deferred_.clear();
    trace("host -> " + protocol::printable(frame));
    pending_ = Pending{frame, cid2, Clock::now(), false, false};
    const std::lock_guard<std::mutex> lock(mutex_);
    ++requests_;
}

bool Tap::holds_next_reply()
{
    if (!pending_) return false;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (Clock::now() < silent_until_) return true;
    const std::uint8_t cid2 = pending_->cid2;
    return changes_.count(cid2) != 0 || script_.drop.count(cid2) != 0 ||
           script_.wire.count(cid2) != 0 || script_.short_reply.count(cid2) != 0 ||
           (cid2 == 0x41 && !script_.analog.empty()) || (cid2 == 0x44 && !script_.status.empty());
}

void Tap::from_ups(const char* data, std::size_t n)
{
    std::string pass;  // characters that go on unchanged
    for (std::size_t i = 0; i < n; ++i) {
        if (ups_finder_.idle()) holding_ = holds_next_reply();
        if (!holding_) pass += data[i];
        if (ups_finder_.noise_full()) {
            const std::string noise = ups_finder_.take_noise();
            if (!holding_) record_rx("", noise, pending_ && pending_->timed_out);
        }
        if (!ups_finder_.put(data[i])) continue;
        if (!pass.empty()) {
            io::write_all(host_fd_, pass.data(), pass.size(), setup_.host_name);
            pass.clear();
        }
        on_reply(ups_finder_.noise(), ups_finder_.frame(), holding_);
    }
    if (!pass.empty()) io::write_all(host_fd_, pass.data(), pass.size(), setup_.host_name);
}

void Tap::on_reply(const std::string& noise, const std::string& frame, bool held)
{
    last_clock_ = std::time(nullptr);
    check_timeout();
    trace("ups -> " + protocol::printable(noise + frame) + (held ? "  (held)" : ""));
    if (!held) {
        const bool late = !pending_ || pending_->timed_out;
        record_rx(frame, noise, late);
        if (pending_ && !late) pending_->answered = true;
        show("round " + std::to_string(round_) + "  2A" +
             protocol::hex(pending_ ? pending_->cid2 : 0) + "  passed" + (late ? " late" : ""));
        const std::lock_guard<std::mutex> lock(mutex_);
        ++passed_;
        return;
    }
    std::string what;
    const emulator::Answer a = change(noise, frame, what);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++changed_;
    }
    const std::string name =
        "round " + std::to_string(round_) + "  2A" + protocol::hex(pending_ ? pending_->cid2 : 0);
    trace("changed: " + what);
    if (!a.now.empty()) {
        to_host(a.now, what, pending_ && pending_->timed_out);
    } else if (!a.late.empty()) {
        const auto after = a.late_ms > 0 ? std::chrono::milliseconds(a.late_ms)
                                         : std::chrono::milliseconds(setup_.timeout_ms + 100);
        scheduled_.push_back({pending_ ? pending_->sent + after : Clock::now(), a.late, what});
        show(name + "  delayed (" + what + ")");
        return;
    }
    show(name + "  " + (a.now.empty() ? "not passed" : "changed") + " (" + what + ")");
}

emulator::Answer Tap::change(const std::string& noise, const std::string& frame, std::string& what)
{
    const std::uint8_t cid2 = pending_ ? pending_->cid2 : 0;
    Change c;
    bool silent = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        silent = Clock::now() < silent_until_;
        if (const auto found = changes_.find(cid2); found != changes_.end()) {
            c = found->second;
            changes_.erase(found);
        }
    }
    emulator::Answer a;
    if (silent) {
        what = "silent";
        return a;
    }
    a = emulator::reshape(noise, frame, cid2, script_, c.spoof, c.once ? &*c.once : nullptr);
    what = a.fault;
    if (!c.spoofed.empty()) what += (what.empty() ? "" : " ") + ("spoof " + c.spoofed);
    if (what.empty()) what = a.now.empty() && a.late.empty() ? "drop" : "the round's values";
    return a;
}

void Tap::to_host(const std::string& bytes, const std::string& what, bool late)
{
    if (bytes.empty()) return;
    io::write_all(host_fd_, bytes.data(), bytes.size(), setup_.host_name);
    trace("tap -> host " + protocol::printable(bytes) + (what.empty() ? "" : "  " + what));
    // Recorded as the host has it: its frames found as the host finds them.
    protocol::FrameFinder f;
    for (const char ch : bytes) {
        if (!f.put(ch)) continue;
        record_rx(f.frame(), f.noise(), late);
        f.clear();
    }
    if (!f.idle()) record_rx("", f.noise() + f.frame(), late);
    if (pending_ && !late) pending_->answered = true;
}

void Tap::record_rx(const std::string& text, const std::string& noise, bool late)
{
    io::Received got;
    got.noise = noise;
    got.frame = text;
    got.clock = last_clock_;
    got.late = late;
    std::string line;
    io::frame_event(line, "rx", now_t(), round_, step_, text, &got);
    // A late reply goes with the next request, as the host takes it.
    if (late && pending_ && pending_->timed_out) {
        deferred_.push_back(line);
    } else {
        record(line);
    }
}

std::string Tap::command(const std::string& line)
{
    const std::vector<std::string> w = typed_words(line);
    if (w.empty()) return "";
    std::string said;
    const std::uint8_t cid = w.size() > 1 ? known_cid(w[1]) : std::uint8_t{0};
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto armed = [&](const std::string& kind) {
        if (changes_.count(cid) == 0) return false;
        said = "refused: the next 2A/" + w[1] + " reply is changed already; " + kind +
               " waits until it has gone";
        return true;
    };
    if (w[0] == "help" && w.size() == 1) {
        said = help();
    } else if (w[0] == "status" && w.size() == 1) {
        said = "status: " + std::to_string(requests_) + " requests, " + std::to_string(passed_) +
               " replies passed, " + std::to_string(changed_) + " changed, " +
               std::to_string(timeouts_) + " timeouts";
    } else if (w[0] == "silent" && w.size() == 2) {
        const auto seconds = io::whole_number(w[1], 0, 86400);
        said = !seconds ? "refused: \"" + w[1] + "\" is not a number of seconds 0..86400"
                        : "ok: the UPS's replies held back for " + w[1] + " s";
        if (seconds) silent_until_ = Clock::now() + std::chrono::seconds(*seconds);
    } else if ((w[0] == "drop" && w.size() == 2) || (w[0] == "fault" && w.size() > 2) ||
               (w[0] == "spoof" && w.size() == 4)) {
        if (cid == 0) {
            said = "refused: \"" + w[1] + "\" is not " + vocabulary::request_names();
        } else if (!armed(w[0])) {
            Change c;
            std::string why;
            if (w[0] == "drop") {
                c.once = std::optional<emulator::WireFault>();
                said = "ok: the UPS's next 2A/" + w[1] + " reply is not passed";
            } else if (w[0] == "fault") {
                const auto f = emulator::typed_wire_fault({w.begin() + 2, w.end()}, why);
                if (f && f->chunk == 0) {
                    c.once = f;
                    said = "ok: the UPS's next 2A/" + w[1] + " reply goes wrong: " + f->kinds;
                } else {
                    said =
                        "refused: " + (f ? "chunk is the simulator's, not passing traffic's" : why);
                }
            } else {
                try {
                    c.spoof = emulator::named_change(w[2], w[3]);
                    const bool fits = (cid == 0x41 && !c.spoof.analog.empty()) ||
                                      (cid == 0x44 && !c.spoof.status.empty());
                    said =
                        fits ? "ok: the UPS's next 2A/" + w[1] + " reply says " + w[2] + " " + w[3]
                             : "refused: " + w[2] + " is not in the 2A/" + w[1] +
                                   " reply (values are in 41, status bytes in 44)";
                    c.spoofed = w[2] + " " + w[3];
                } catch (const std::exception& e) {
                    said = std::string("refused: ") + e.what();
                }
            }
            if (said.rfind("ok:", 0) == 0) changes_[cid] = c;
        }
    } else {
        said = "refused: \"" + line +
               "\": expected one of: drop CID, fault CID KIND..., spoof "
               "CID NAME VALUE, silent SECONDS, status, help";
    }
    if (outputs_.tracing()) {
        outputs_.trace(stamp(now_t()) + "typed: " + protocol::printable(line) + " -> " + said);
    }
    return said;
}

std::string Tap::summary() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return "tap: " + std::to_string(requests_) + " requests, " + std::to_string(passed_) +
           " replies passed, " + std::to_string(changed_) + " changed, " +
           std::to_string(timeouts_) + " timeouts";
}

std::string Tap::help()
{
    return "commands (each for the UPS's next reply to that request):\n"
           "  drop CID             not passed to the host (" +
           vocabulary::request_names() +
           ")\n"
           "  fault CID KIND...    passed gone wrong: chksum, lchksum, rtn=1..255, rtn_info,\n"
           "                       late[=MS] (delayed), noise=TEXT, adr=0..255\n"
           "  spoof CID NAME VALUE passed with a value (41) or a status byte (44) changed\n"
           "  silent SECONDS       no reply passed for that long\n"
           "  status               requests, replies passed and changed, timeouts";
}

}  // namespace ups
