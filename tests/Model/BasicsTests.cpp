#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>
#include <unordered_set>

#include "Model/Base64.hpp"
#include "Model/CowVector.hpp"
#include "Model/Numeric.hpp"
#include "Model/Uuid.hpp"

using namespace osterveil;

namespace {

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

} // namespace

TEST(Uuid, MakeDrawsDistinctVersion4Ids) {
    for (int i = 0; i < 64; ++i) {
        const Uuid u = Uuid::make();
        EXPECT_EQ(u.bytes()[6] >> 4, 4);
        EXPECT_EQ(u.bytes()[8] & 0xC0, 0x80);
        EXPECT_EQ(Uuid::parse(u.toString()), u);
    }
    EXPECT_TRUE(Uuid().isNil());

    std::unordered_set<Uuid> set;
    for (int i = 0; i < 100; ++i) set.insert(Uuid::make());
    EXPECT_EQ(set.size(), 100u);
    EXPECT_TRUE(set.contains(*Uuid::parse(set.begin()->toString())));
}

TEST(Uuid, TextIsCanonicalUpperCaseAndParsesEitherCase) {
    std::array<std::uint8_t, 16> b{};
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(0xA0 + i);
    const std::string canonical = "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF";
    EXPECT_EQ(Uuid(b).toString(), canonical);
    EXPECT_EQ(Uuid::parse(canonical), Uuid(b));
    EXPECT_EQ(Uuid::parse("a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf"), Uuid(b));
    EXPECT_EQ(Uuid::parse("a0A1a2A3-a4A5-a6A7-a8A9-aAaBaCaDaEaF"), Uuid(b));

    const char* bad[] = {
        "",
        "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEA",    // one digit short
        "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF0",  // one digit long
        "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF",       // no hyphens
        "A0A1A2A-3A4A5-A6A7-A8A9-AAABACADAEAF",   // hyphen moved
        "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAG",   // not hexadecimal
        " A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEA",   // leading space
        "{A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF}", // braces
    };
    for (const char* text : bad) EXPECT_FALSE(Uuid::parse(text)) << '"' << text << '"';
}

TEST(Base64, Rfc4648VectorsRoundTrip) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},     {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(bytesOf(plain)), encoded);
        EXPECT_EQ(base64Decode(encoded), bytesOf(plain)) << encoded;
    }
    EXPECT_EQ(base64Decode("+/8="), (Bytes{0xFB, 0xFF}));
}

TEST(Base64, StrictDecodeRejectsNonCanonicalText) {
    const char* bad[] = {
        "Zg",       // unpadded
        "Zm9vY",    // length not a multiple of four
        "Zm9v\n",   // trailing newline
        "Zm 9v",    // inner space
        "Zm9-",     // URL-safe alphabet
        "Zg==Zg==", // padding before the end
        "Z===",     // too much padding
        "Zm=v",     // padding inside a group
        "Zh==",     // unused bits set after one byte
        "Zm9=",     // unused bits set after two bytes
    };
    for (const char* text : bad) EXPECT_FALSE(base64Decode(text)) << '"' << text << '"';
}

TEST(Numeric, RoundingHalvesAwayFromZero) {
    EXPECT_EQ(roundHalfAway(2.5), 3.0);
    EXPECT_EQ(roundHalfAway(-2.5), -3.0);
    EXPECT_EQ(roundHalfAway(0.5), 1.0);

    constexpr auto maxI = std::numeric_limits<std::int64_t>::max();
    constexpr auto minI = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(roundToInt64(2.5), 3);
    EXPECT_EQ(roundToInt64(-2.5), -3);
    EXPECT_EQ(roundToInt64(std::nan("")), 0);
    EXPECT_EQ(roundToInt64(0x1p63), maxI);
    EXPECT_EQ(roundToInt64(std::numeric_limits<double>::infinity()), maxI);
    EXPECT_EQ(roundToInt64(-1e300), minI);
    EXPECT_EQ(roundToInt64(0x1p62), std::int64_t{1} << 62);
}

TEST(Numeric, FormattingMatchesCLocalePrintf) {
    EXPECT_EQ(formatFixed(0.12, 4), "0.1200");
    EXPECT_EQ(formatFixed(23.976023976, 3), "23.976");
    EXPECT_EQ(formatFixed(1e20, 1), "100000000000000000000.0");
    EXPECT_EQ(formatFixed(0.00005, 4), "0.0001");

    EXPECT_EQ(formatPadded(7, 2), "07");
    EXPECT_EQ(formatPadded(123, 2), "123");
    EXPECT_EQ(formatPadded(-5, 3), "-05");
    EXPECT_EQ(formatPadded(std::numeric_limits<std::int64_t>::min(), 2), "-9223372036854775808");
}

TEST(Numeric, FormatFixedIgnoresProcessLocale) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    const char* german = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"})
        if ((german = std::setlocale(LC_ALL, name))) break;
    if (!german) GTEST_SKIP() << "no German locale installed";
    const std::string text = formatFixed(0.12, 4);
    std::setlocale(LC_ALL, previous.c_str());
    EXPECT_EQ(text, "0.1200");
}

TEST(CowVector, CopiesShareUntilOneWrites) {
    const CowVector<std::string> a{"one", "two", "three"};
    CowVector<std::string> b = a;
    EXPECT_TRUE(b.sharesStorageWith(a));
    // Reading, and a removal that removes nothing, never detach.
    for (const auto& s : b) EXPECT_FALSE(s.empty());
    EXPECT_EQ(b.removeIf([](const std::string& s) { return s.empty(); }), 0u);
    EXPECT_TRUE(b.sharesStorageWith(a));

    b.mut(1) = "TWO";
    EXPECT_FALSE(b.sharesStorageWith(a));
    EXPECT_EQ(a[1], "two");
    EXPECT_EQ(b[1], "TWO");
    EXPECT_TRUE(b.sharesElementWith(a, 0));
    EXPECT_FALSE(b.sharesElementWith(a, 1));
    EXPECT_TRUE(b.sharesElementWith(a, 2));
}

TEST(CowVector, StructuralWritesLeaveTheOriginalAlone) {
    const CowVector<int> original{5, 1, 4, 1, 3};
    CowVector<int> v = original;
    v.push_back(9);
    v.insert(0, 7);
    EXPECT_EQ(v.toVector(), (std::vector<int>{7, 5, 1, 4, 1, 3, 9}));
    v.erase(0);
    // Slots moved, but the surviving elements are still the original objects.
    for (std::size_t i = 0; i < original.size(); ++i) EXPECT_TRUE(v.sharesElementWith(original, i));
    EXPECT_EQ(v.removeIf([](int x) { return x == 1; }), 2u);
    EXPECT_EQ(v.toVector(), (std::vector<int>{5, 4, 3, 9}));
    v.erase(1, 3);
    EXPECT_EQ(v.toVector(), (std::vector<int>{5, 9}));
    EXPECT_EQ(original.toVector(), (std::vector<int>{5, 1, 4, 1, 3}));

    CowVector<std::pair<int, char>> pairs{{2, 'a'}, {1, 'b'}, {2, 'c'}, {1, 'd'}};
    pairs.stableSort([](const auto& a, const auto& b) { return a.first < b.first; });
    EXPECT_EQ(pairs.toVector(), (std::vector<std::pair<int, char>>{{1, 'b'}, {1, 'd'}, {2, 'a'}, {2, 'c'}}));
}

TEST(CowVector, EqualityIsElementWise) {
    const CowVector<double> a{1, 2, 3};
    EXPECT_EQ(a, (CowVector<double>{1, 2, 3}));
    EXPECT_NE(a, (CowVector<double>{1, 2}));
    EXPECT_NE(a, (CowVector<double>{1, 2, 4}));
    EXPECT_EQ((CowVector<double>{-0.0}).hashValue(), (CowVector<double>{0.0}).hashValue());

    const CowVector<double> withNaN{1, std::nan("")};
    const CowVector<double> copy = withNaN;
    EXPECT_FALSE(withNaN == withNaN);
    EXPECT_FALSE(copy == withNaN); // shared storage is no excuse
}
