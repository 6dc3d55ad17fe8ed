// The stand-in host's serial framing: the published test vector, round trips
// and every refusal; the frame finder fed by character and by run.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "frame.h"

namespace {

using protocol::decode_frame;
using protocol::Decoded;
using protocol::encode_frame;
using protocol::Refusal;

Refusal decode(const std::string& s, Decoded& out, std::uint8_t ver = 0x20, std::uint8_t adr = 1)
{
    return decode_frame(s.data(), s.size(), ver, adr, out);
}

TEST(Frame, TestVectorEncodesAndDecodes)
{
    const std::string line = encode_frame(0x20, 0x01, 0x40, 0x43, {0x00});
    EXPECT_EQ(line, "~20014043E00200FD3B\r");
    Decoded d;
    ASSERT_EQ(decode(line, d), Refusal::None);
    EXPECT_EQ(d.bytes, (std::vector<std::uint8_t>{0x20, 0x01, 0x40, 0x43, 0x02, 0x00, 0x00}));
}

TEST(Frame, LongInfoRoundTripsWithItsLengthLittleEndian)
{
    std::vector<std::uint8_t> info(64);
    for (std::size_t i = 0; i < info.size(); ++i) info[i] = static_cast<std::uint8_t>(i * 37);
    const std::string line = encode_frame(0x21, 0x01, 0x2A, 0x00, info);
    Decoded d;
    ASSERT_EQ(decode(line, d, 0x21), Refusal::None);
    ASSERT_EQ(d.bytes.size(), 6U + 64U);
    EXPECT_EQ(d.bytes[4], 128);
    EXPECT_EQ(d.bytes[5], 0);
    EXPECT_EQ(std::vector<std::uint8_t>(d.bytes.begin() + 6, d.bytes.end()), info);
    EXPECT_EQ(encode_frame(d.bytes[0], d.bytes[1], d.bytes[2], d.bytes[3],
                           std::vector<std::uint8_t>(d.bytes.begin() + 6, d.bytes.end())),
              line);
}

TEST(Frame, EachFaultIsRefusedWithItsReason)
{
    const std::string good = "~20014043E00200FD3B\r";
    Decoded d;
    auto with = [&](std::size_t at, char c) {
        std::string s = good;
        s[at] = c;
        return s;
    };
    EXPECT_EQ(decode(good.substr(1), d), Refusal::NoSoi);
    EXPECT_EQ(decode(good.substr(0, good.size() - 1), d), Refusal::NoEoi);
    EXPECT_EQ(decode(with(5, 'g'), d), Refusal::NotHex);
    EXPECT_EQ(decode(with(5, 'c'), d), Refusal::NotHex);  // lower case is not on the line
    EXPECT_EQ(decode(with(17, '0'), d), Refusal::Checksum);
    EXPECT_EQ(decode(with(9, 'F'), d), Refusal::LengthChecksum);
    // LENID 1 with a matching LCHKSUM: odd.
    EXPECT_EQ(decode(protocol::encode_frame_cut(0x20, 1, 0x40, 0x43, {0xAB}, 1), d),
              Refusal::OddLength);
    // LENID 2, then 4 INFO characters, or none.
    EXPECT_EQ(decode("~20014043E0020000FD3B\r", d), Refusal::InfoLong);
    EXPECT_EQ(decode("~20014043E002FD3B\r", d), Refusal::InfoShort);
    EXPECT_EQ(decode("~\r", d), Refusal::InfoShort);
    EXPECT_EQ(decode(good, d, 0x21), Refusal::WrongVersion);
    EXPECT_EQ(decode(good, d, 0x20, 2), Refusal::WrongAddress);
    EXPECT_EQ(decode(std::string(protocol::kMaxFrameChars + 1, '0'), d), Refusal::TooLong);
    EXPECT_EQ(decode("", d), Refusal::NoSoi);
    EXPECT_TRUE(d.bytes.empty());
}

// A reader that takes noise whenever the finder says it is full loses no
// character: long noise, an unfinished frame cut by a new SOI, then a frame.
TEST(Frame, FinderHandsOnEveryCharacter)
{
    const std::string good = protocol::encode_frame(0x20, 1, 0x40, 0x43, {0xAB, 0xCD});
    const std::string unfinished = good.substr(0, 9);
    const std::string line = std::string(3 * protocol::kMaxFrameChars + 7, 'x') + unfinished + good;
    protocol::FrameFinder finder;
    std::string noise;
    std::string frames;
    for (const char c : line) {
        if (finder.put(c)) {
            noise += finder.noise();
            frames += finder.frame();
        }
        if (finder.noise_full()) noise += finder.take_noise();
    }
    EXPECT_EQ(frames, good);
    EXPECT_EQ(noise + frames, line);
    EXPECT_FALSE(finder.in_frame());
    finder.put('~');
    EXPECT_TRUE(finder.in_frame());
}

// Characters taken in runs of any length give the frames and noise that
// taking them one by one gives: noise past the bound, a CR in noise, SOIs
// inside frames, an over-long frame and a frame split across runs.
TEST(Frame, FinderTakesRunsAsSingleCharacters)
{
    const std::string good = protocol::encode_frame(0x20, 1, 0x40, 0x43, {0xAB, 0xCD});
    const std::string lines[] = {
        good + good,
        "\r\rnoise\r" + good + "tail",
        std::string(2 * protocol::kMaxFrameChars + 5, 'n') + good,
        "~~~" + good.substr(0, 5) + good,
        "~" + std::string(protocol::kMaxFrameChars + 3, '0') + "\r" + good,
        good.substr(0, 7),
        "",
    };
    // (frame or "", noise) for each event, and what is left unfinished.
    using Events = std::vector<std::pair<std::string, std::string>>;
    const auto single = [](const std::string& line, bool take_noise) {
        protocol::FrameFinder finder;
        Events got;
        for (const char c : line) {
            if (finder.put(c)) got.emplace_back(finder.frame(), finder.noise());
            if (take_noise && finder.noise_full()) got.emplace_back("", finder.take_noise());
        }
        got.emplace_back(finder.in_frame() ? finder.frame() : "", finder.noise());
        return got;
    };
    const auto runs = [](const std::string& line, std::size_t run, bool take_noise) {
        protocol::FrameFinder finder;
        Events got;
        for (std::size_t at = 0; at < line.size();) {
            at += finder.put(line.data() + at, std::min(run, line.size() - at));
            if (finder.ended()) got.emplace_back(finder.frame(), finder.noise());
            if (take_noise && finder.noise_full()) got.emplace_back("", finder.take_noise());
        }
        got.emplace_back(finder.in_frame() ? finder.frame() : "", finder.noise());
        return got;
    };
    for (const std::string& line : lines) {
        for (const bool take_noise : {true, false}) {
            const Events want = single(line, take_noise);
            for (const std::size_t run :
                 {std::size_t{1}, std::size_t{2}, std::size_t{7}, line.size() + 1}) {
                EXPECT_EQ(runs(line, run, take_noise), want)
                    << "run " << run << (take_noise ? "" : ", noise left") << ": "
                    << line.substr(0, 40);
            }
        }
    }
}

}  // namespace
