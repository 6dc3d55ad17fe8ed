#include "replayer.h"

#include "frame.h"

namespace ups {

namespace {

// Two hex digits of a frame's header field (VER at 1, ADR at 3), or 0.
std::uint8_t header_byte(const std::string& frame, std::size_t at)
{
    if (frame.size() < at + 2) return 0;
    try {
        return static_cast<std::uint8_t>(std::stoul(frame.substr(at, 2), nullptr, 16));
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace

emulator::Answer Replayer::answer(const std::string& request)
{
    while (!ended_ && next_ >= round_.exchanges.size()) {
        ended_ = !reader_->next(round_);
        next_ = 0;
    }
    emulator::Answer a;
    a.round = static_cast<std::size_t>(round_.round);
    if (!ended_ && round_.exchanges[next_].request == request) {
        const io::RecordedExchange& e = round_.exchanges[next_++];
        for (const io::Received& got : e.reply) a.now += got.noise + got.frame;
        if (!a.now.empty()) last_[request] = a.now;
        if (a.now.empty()) a.note = "timed out in the recording";
        return a;
    }
    ++departures_;
    std::string expected =
        ended_ ? "the recording has ended" : "the recording has " + round_.exchanges[next_].request;
    if (!expected.empty() && expected.back() == '\r') expected.pop_back();
    if (const auto last = last_.find(request); last != last_.end()) {
        a.now = last->second;
        a.note = "departure (" + expected + "): the last reply to it";
    } else {
        const std::uint8_t ver = header_byte(request, 1);
        const std::uint8_t adr = header_byte(request, 3);
        a.now = protocol::encode_frame(ver, adr, 0x2A, 0x04, {});
        a.note = "departure (" + expected + "): answered as unknown";
    }
    return a;
}

}  // namespace ups
