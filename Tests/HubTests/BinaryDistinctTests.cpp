#include <gtest/gtest.h>

#include <map>

#include "Hub/BinaryDistinct.hpp"
#include "Platform/Foundation/Error.hpp"

using hub::BinaryDistinctCharacter;
using hub::BinaryDistinctString;

namespace {

const BinaryDistinctString precomposed(u"\u00E9");
const BinaryDistinctString decomposed(u"e\u0301");

TEST(BinaryDistinctString, ComposedAndDecomposedStayDistinctKeys) {
    EXPECT_NE(precomposed, decomposed);
    EXPECT_LT(decomposed, precomposed);  // 0x65 before 0xE9
    EXPECT_EQ(decomposed.value().size(), 2u);
    EXPECT_EQ(decomposed.count(), 1);
    EXPECT_EQ(BinaryDistinctString("\xC3\xA9"), precomposed);  // from UTF-8 text

    hub::BinaryDistinctDictionary<int> keys{{precomposed, 1}, {decomposed, 2}};
    EXPECT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys.at(decomposed), 2);

    EXPECT_EQ(BinaryDistinctCharacter(precomposed.string()).description(),
              "BinaryDistinctCharacter('\xC3\xA9', bytes: [\"0xE9\"])");
    EXPECT_EQ(BinaryDistinctCharacter(decomposed.string()).description(),
              "BinaryDistinctCharacter('e\xCC\x81', bytes: [\"0x65\", \"0x301\"])");
    // Concatenating the parts gives the decomposed form, still not the precomposed one.
    EXPECT_EQ(BinaryDistinctString("e") + BinaryDistinctString(u"\u0301"), decomposed);
}

TEST(BinaryDistinctString, OrdersByUnitsShorterPrefixFirst) {
    std::vector<BinaryDistinctString> ascending{BinaryDistinctString(""), BinaryDistinctString(u"a"),
                                                BinaryDistinctString(u"ab"), BinaryDistinctString(u"b"),
                                                // A supplementary scalar's lead surrogate sorts below U+FFFD.
                                                BinaryDistinctString("\xF0\x9F\x98\x80"),
                                                BinaryDistinctString(u"\uFFFD")};
    for (size_t i = 0; i < ascending.size(); ++i)
        for (size_t j = 0; j < ascending.size(); ++j) EXPECT_EQ(ascending[i] < ascending[j], i < j) << i << " " << j;
}

TEST(BinaryDistinctString, UnpairedSurrogatesAndIllFormedTextBecomeReplacement) {
    // An encoded surrogate is ill-formed UTF-8: one replacement per maximal ill-formed subpart.
    EXPECT_EQ(BinaryDistinctString("a\xED\xA0\x80").value(), u"a\uFFFD\uFFFD\uFFFD");
    // Units given directly are kept exactly, and decode with a replacement.
    BinaryDistinctString lone(std::u16string{u'a', char16_t(0xD800)});
    EXPECT_EQ(lone.value().size(), 2u);
    EXPECT_EQ(lone.string(), "a\xEF\xBF\xBD");
    EXPECT_EQ(lone.value(), (std::u16string{u'a', char16_t(0xD800)}));
    EXPECT_NE(lone, BinaryDistinctString("a\xEF\xBF\xBD"));

    // Units are what count: an unpaired lead and an unpaired trail joined are the pair.
    BinaryDistinctString trail(std::u16string{char16_t(0xDE00)});
    BinaryDistinctString smile("\xF0\x9F\x98\x80");  // U+1F600 = D83D DE00
    BinaryDistinctString lead(std::u16string{char16_t(0xD83D)});
    EXPECT_EQ(lead + trail, smile);
    EXPECT_TRUE(smile.hasPrefix(lead));
    EXPECT_TRUE(smile.hasSuffix(trail));
    EXPECT_FALSE(smile.hasPrefix(trail));
    EXPECT_LT(lead, smile);                    // a proper prefix
    EXPECT_LT(smile, BinaryDistinctString(u"\uE000"));  // D83D before E000
    EXPECT_LT(BinaryDistinctString(u"\uD7FF"), lead);
}

// A lone surrogate is found wherever it sits in a long text (on either side of an 8-byte boundary), and the
// view form decodes exactly as string() does: into the buffer when a replacement is needed, in place otherwise.
TEST(BinaryDistinctString, LoneSurrogateFoundAtEveryOffsetOfALongText) {
    for (size_t offset = 0; offset <= 20; ++offset) {
        std::u16string units(offset, u'x');
        units += char16_t(0xDC00);
        units += u"\u00E9\uD55Cyz";  // also ED-led UTF-8 (U+D55C) that is no surrogate
        BinaryDistinctString lone(units);
        std::string expected = std::string(offset, 'x') + "\xEF\xBF\xBD\xC3\xA9\xED\x95\x9Cyz";
        EXPECT_EQ(lone.string(), expected) << offset;
        std::string buffer;
        EXPECT_EQ(lone.string(buffer), expected) << offset;
        EXPECT_EQ(buffer, expected) << offset;

        BinaryDistinctString clean(std::string(offset, 'x') + "\xED\x95\x9C\xF0\x9F\x98\x80");
        std::string unused;
        EXPECT_EQ(clean.string(unused), clean.string()) << offset;
        EXPECT_TRUE(unused.empty()) << offset;
    }
}

TEST(BinaryDistinctString, PrefixSuffixAndLowercase) {
    BinaryDistinctString s("hello");
    EXPECT_TRUE(s.hasPrefix(""));
    EXPECT_TRUE(s.hasSuffix(""));
    EXPECT_TRUE(s.hasPrefix("he"));
    EXPECT_FALSE(s.hasPrefix("hello!"));
    EXPECT_TRUE(s.hasSuffix("llo"));
    EXPECT_FALSE(s.hasSuffix("xhello"));
    EXPECT_FALSE(decomposed.hasPrefix(precomposed));
    EXPECT_EQ(BinaryDistinctString(u"\u00C0B").lowercased(), BinaryDistinctString(u"\u00E0b"));
    EXPECT_EQ(BinaryDistinctString(u"STRASSE\u0130").lowercased().value(), u"strasse\u0069\u0307");
}

TEST(BinaryDistinctString, ReplacingMatchesCanonicallyEquivalentCharacters) {
    BinaryDistinctString cafe(u"cafe\u0301 caf\u00E9 cafe");
    EXPECT_EQ(cafe.replacingOccurrences(precomposed, BinaryDistinctString("E")), BinaryDistinctString("cafE cafE cafe"));
    EXPECT_EQ(BinaryDistinctString("a-b-c").replacingOccurrences("-", "+"), BinaryDistinctString("a+b+c"));
    EXPECT_EQ(BinaryDistinctString("abc").replacingOccurrences("", "x"), BinaryDistinctString("abc"));
}

TEST(BinaryDistinctString, PositionsCountCharacters) {
    BinaryDistinctString s("abc");
    EXPECT_EQ(s.index(0, s.count()), 3);
    EXPECT_THROW(s.index(0, s.count() + 1), foundation::RuntimeError);
    EXPECT_THROW(s.index(0, -1), foundation::RuntimeError);
    EXPECT_EQ(s.index(3, -2, 2), 1);
    EXPECT_EQ(s.index(1, 5, 4), std::nullopt);

    EXPECT_EQ(s.substring(1, 3), BinaryDistinctString("bc"));
    EXPECT_EQ(s.substring(1), BinaryDistinctString("bc"));
    EXPECT_THROW(s.substring(2, 4), foundation::RuntimeError);
    EXPECT_THROW(s.substring(-1), foundation::RuntimeError);

    // Characters of several units: e + U+0301, a flag, then "x".
    BinaryDistinctString mixed(u"ae\u0301\U0001F1EB\U0001F1F7x");
    EXPECT_EQ(mixed.count(), 4);
    auto characters = mixed.characters();
    ASSERT_EQ(characters.size(), 4u);
    EXPECT_EQ(characters[1].bytes(), u"e\u0301");
    EXPECT_EQ(characters[2].bytes().size(), 4u);
    EXPECT_EQ(mixed.substring(1, 3).value(), u"e\u0301\U0001F1EB\U0001F1F7");
    EXPECT_EQ(mixed.substring(3), BinaryDistinctString("x"));
    EXPECT_EQ(BinaryDistinctString(characters), mixed);
    EXPECT_EQ(BinaryDistinctString("a\r\nb").count(), 3);
}

TEST(BinaryDistinctString, MergeAddsAbsentKeysAndCombinesPresentOnes) {
    hub::BinaryDistinctDictionary<int> base{{BinaryDistinctString("a"), 1}, {BinaryDistinctString("b"), 2}};
    std::map<std::string, int> incoming{{"b", 20}, {"c", 30}};
    auto keepCurrent = hub::merging(base, incoming, [](int current, int) { return current; });
    EXPECT_EQ(keepCurrent.size(), 3u);
    EXPECT_EQ(keepCurrent.at(BinaryDistinctString("b")), 2);
    EXPECT_EQ(keepCurrent.at(BinaryDistinctString("c")), 30);
    EXPECT_EQ(base.size(), 2u);  // merging leaves the original alone

    hub::merge(base, incoming, [](int current, int added) { return current + added; });
    EXPECT_EQ(base.at(BinaryDistinctString("b")), 22);
}

}  // namespace
