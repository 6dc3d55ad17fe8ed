#include "replayer.h"

#include "frame.h"

namespace ups {

emulator::Answer Replayer::answer(const std::string& request)
{
    emulator::Answer a;
    // What a recording never holds is answered as the scenario's UPS does:
    // a reply is no request, and the version and the address are in the header.
    const auto head = protocol::frame_head(request);
    if (head && protocol::is_return_code(head->cid2)) {
        a.for_it = false;
        a.note = "a reply";
        return a;
    }
    if (head && emulator::header_only(head->cid2) &&
        protocol::decode_frame(request.data(), request.size(), head->ver, head->adr, decoded_) ==
            protocol::Refusal::None) {
        a.now =
            protocol::encode_frame(head->ver, head->adr, head->cid1, protocol::rtn::kNormal, {});
        a.round = static_cast<std::size_t>(round_.round);
        return a;
    }
    while (!ended_ && next_ >= round_.exchanges.size()) {
        ended_ = !reader_->next(round_);
        next_ = 0;
    }
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
        const protocol::Head h = head.value_or(protocol::Head{});
        a.now = protocol::encode_frame(h.ver, h.adr, h.cid1, protocol::rtn::kUnknownCid2, {});
        a.note = "departure (" + expected + "): answered as unknown";
    }
    return a;
}

}  // namespace ups
