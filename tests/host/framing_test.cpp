// The framing reader on recorded byte streams, fed in every possible split.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qv/framing.h"

namespace {

using Status = qv::FrameReader::Status;

// Feeds the stream in pieces cut at the given offsets; collects every item.
std::vector<std::string> items_of(const std::string& stream, const std::vector<size_t>& cuts,
                                  bool* bad = nullptr) {
    qv::FrameReader reader;
    std::vector<std::string> items;
    size_t from = 0;
    auto drain = [&] {
        std::string answer;
        for (;;) {
            Status s = reader.next(&answer);
            if (s == Status::incomplete)
                return;
            if (s == Status::bad_handshake) {
                if (bad)
                    *bad = true;
                return;
            }
            items.push_back(s == Status::handshake ? "<handshake>" : answer);
        }
    };
    for (size_t cut : cuts) {
        reader.feed(stream.substr(from, cut - from));
        drain();
        from = cut;
    }
    reader.feed(stream.substr(from));
    drain();
    return items;
}

const std::string kStream =
    "QVMANIP OK\n"
    "\nend\n"                         // empty answer
    "path /tmp/x\nend\n"              // text without newline
    "file a\nfile b\n\nend\n"         // lines, then the marker
    "xend\nvalue end\\n\\0 1 =\nend\n"  // "end" not preceded by LF is data
    "errno 2\nend\n";

const std::vector<std::string> kItems = {
    "<handshake>", "", "path /tmp/x", "file a\nfile b\n", "xend\nvalue end\\n\\0 1 =", "errno 2",
};

TEST(FrameReader, SplitsAnswersAtEveryByteBoundary) {
    for (size_t cut = 0; cut <= kStream.size(); cut++)
        EXPECT_EQ(items_of(kStream, {cut}), kItems) << "cut at " << cut;
}

TEST(FrameReader, SplitsAnswersAtEveryPairOfBoundaries) {
    for (size_t a = 0; a <= kStream.size(); a++)
        for (size_t b = a; b <= kStream.size(); b++)
            ASSERT_EQ(items_of(kStream, {a, b}), kItems) << "cuts at " << a << "," << b;
}

TEST(FrameReader, OneByteAtATime) {
    std::vector<size_t> cuts;
    for (size_t i = 1; i < kStream.size(); i++)
        cuts.push_back(i);
    EXPECT_EQ(items_of(kStream, cuts), kItems);
}

TEST(FrameReader, EndWithoutLeadingLfIsNotAMarker) {
    // "end\n" at the very start of an answer is data: the empty answer is "\nend\n".
    EXPECT_EQ(items_of("QVMANIP OK\nend\nmore\nend\n", {}),
              (std::vector<std::string>{"<handshake>", "end\nmore"}));
    EXPECT_EQ(items_of("QVMANIP OK\nabc\nendx\nend\n", {}),
              (std::vector<std::string>{"<handshake>", "abc\nendx"}));
}

TEST(FrameReader, EofInTheMiddleLeavesThePartialAnswerPending) {
    qv::FrameReader reader;
    std::string answer;
    reader.feed("QVMANIP OK\nfile a\n\nen");
    EXPECT_EQ(reader.next(&answer), Status::handshake);
    EXPECT_EQ(reader.next(&answer), Status::incomplete);
    EXPECT_EQ(reader.pending(), "file a\n\nen");
}

TEST(FrameReader, PartialHandshakeWaitsAndWrongHandshakeIsRefused) {
    qv::FrameReader reader;
    reader.feed("QVMAN");
    EXPECT_EQ(reader.next(nullptr), Status::incomplete);
    EXPECT_FALSE(reader.handshake_seen());

    bool bad = false;
    items_of("wine: could not load\n", {}, &bad);
    EXPECT_TRUE(bad);
    bad = false;
    items_of("QVMANIP OK\r\n\nend\n", {}, &bad);
    EXPECT_TRUE(bad);
}

TEST(FrameReader, LargeAnswerInSmallChunks) {
    std::string big(3 << 20, 'x');
    for (size_t i = 0; i < big.size(); i += 1000)
        big[i] = '\n';
    std::string stream = "QVMANIP OK\n" + big + "\nend\n" + "\nend\n";
    qv::FrameReader reader;
    std::vector<std::string> answers;
    std::string answer;
    for (size_t i = 0; i < stream.size(); i += 4096) {
        reader.feed(stream.substr(i, 4096));
        for (Status s; (s = reader.next(&answer)) != Status::incomplete;)
            if (s == Status::answer)
                answers.push_back(answer);
    }
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0], big);
    EXPECT_EQ(answers[1], "");
}

}  // namespace
