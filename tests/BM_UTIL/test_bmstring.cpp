#include <gtest/gtest.h>
#include <malloc.h>

#include <climits>
#include <cstring>
#include <string>

#include "COMMON/BM_UTIL/bmassert.h"
#include "COMMON/BM_UTIL/bmstring.h"

namespace {

int gReports = 0;
void CountReport(const BmString&) {
    ++gReports;
}

class BmStringTest : public ::testing::Test {
protected:
    void SetUp() override {
        gReports = 0;
        SetAssertionObserver(CountReport);
    }
    void TearDown() override { SetAssertionObserver(nullptr); }
};

std::u16string WideUnits(const BmString& s) {
    return std::u16string(static_cast<const char16_t*>(s.Buffer()), static_cast<size_t>(s.Size() / 2 - 1));
}

std::string NarrowBytes(const BmString& s) {
    return std::string(static_cast<const char*>(s.Buffer()), static_cast<size_t>(s.Size() - 1));
}

TEST_F(BmStringTest, EmptyStringsShareTheirFormsBufferAndOwnNothing) {
    BmString s;
    EXPECT_EQ(Wide, s.Form());
    EXPECT_EQ(0, s.Length());
    EXPECT_EQ(2, s.Size());
    EXPECT_FALSE(s.OwnsBuffer());

    BmString narrow("");
    EXPECT_EQ(Narrow, narrow.Form());
    EXPECT_EQ(1, narrow.Size());
    EXPECT_FALSE(narrow.OwnsBuffer());

    // The empty size of each form makes the shared empty without reading the bytes.
    EXPECT_TRUE(s.SetBytes(Narrow, 1, nullptr));
    EXPECT_EQ(Narrow, s.Form());
    EXPECT_FALSE(s.OwnsBuffer());
    EXPECT_TRUE(s.SetBytes(Wide, 2, nullptr));
    EXPECT_EQ(Wide, s.Form());
    EXPECT_FALSE(s.OwnsBuffer());

    // Emptying an owned string frees it back to the shared buffer of its form.
    BmString text("abc");
    text.Clear();
    EXPECT_EQ(Narrow, text.Form());
    EXPECT_FALSE(text.OwnsBuffer());
    EXPECT_EQ(0, gReports);
}

TEST_F(BmStringTest, SetBytesHonoursTheTwentyThousandByteLimit) {
    std::string bytes(20001, 'x');
    bytes[19999] = 0;
    BmString s("previous");
    EXPECT_TRUE(s.SetBytes(Narrow, 20000, bytes.data()));
    EXPECT_EQ(19999, s.Length());
    EXPECT_GE(malloc_usable_size(const_cast<void*>(s.Buffer())), 20000u);

    bytes[19999] = 'x';
    bytes[20000] = 0;
    EXPECT_FALSE(s.SetBytes(Narrow, 20001, bytes.data()));
    EXPECT_EQ(0, s.Length());
    EXPECT_FALSE(s.OwnsBuffer());

    std::u16string units(10000, u'w');
    units[9999] = 0;
    EXPECT_TRUE(s.SetBytes(Wide, 20000, units.data()));
    EXPECT_EQ(9999, s.Length());
    EXPECT_FALSE(s.SetBytes(Wide, 20002, units.data()));
    EXPECT_EQ(Wide, s.Form());
    EXPECT_EQ(0, s.Length());
}

TEST_F(BmStringTest, BuffersAreRoundedToSixteenBytes) {
    BmString s("0123456789abcde");  // 16 bytes with the terminator
    EXPECT_EQ(16, s.Size());
    const size_t usable16 = malloc_usable_size(const_cast<void*>(s.Buffer()));
    EXPECT_GE(usable16, 16u);
    s.AppendNarrow("f");  // 17 bytes: the next block
    EXPECT_EQ(17, s.Size());
    EXPECT_GE(malloc_usable_size(const_cast<void*>(s.Buffer())), 32u);
    EXPECT_STREQ("0123456789abcdef", s.NarrowText());
}

TEST_F(BmStringTest, AppendingStopsAtTheLimitAndLeavesTheTextAsItWas) {
    std::string big(19990, 'a');
    BmString s(big.c_str());
    s.AppendNarrow("123456789");  // exactly 20000 bytes
    EXPECT_EQ(19999, s.Length());
    s.AppendNarrow("z");
    EXPECT_EQ(19999, s.Length());
    EXPECT_EQ('9', s.NarrowText()[19998]);

    // Widening would need 2 bytes per character: past the limit it is refused, the text kept.
    EXPECT_FALSE(s.ToWide());
    EXPECT_EQ(Narrow, s.Form());
    EXPECT_EQ(19999, s.Length());

    // Appending a string to itself reads the old buffer before it is freed.
    BmString twice("ab");
    twice.AppendNarrow(twice.NarrowText());
    EXPECT_STREQ("abab", twice.NarrowText());
}

TEST_F(BmStringTest, FormatFirstAttemptHoldsAtMost255Characters) {
    BmString s;
    EXPECT_EQ(255, s.Format(u"%255d", 7));
    EXPECT_EQ(255, s.Length());
    EXPECT_EQ(512, s.Size());
    // Exact-size store of the first attempt: far below the 1024-byte growth buffer.
    EXPECT_LT(malloc_usable_size(const_cast<void*>(s.Buffer())), 1024u);
    EXPECT_EQ(u'7', WideUnits(s)[254]);

    EXPECT_EQ(256, s.Format(u"%256d", 7));
    EXPECT_EQ(256, s.Length());
    EXPECT_EQ(514, s.Size());
    EXPECT_GE(malloc_usable_size(const_cast<void*>(s.Buffer())), 1024u);
    EXPECT_EQ(u' ', WideUnits(s)[0]);
    EXPECT_EQ(u'7', WideUnits(s)[255]);
}

TEST_F(BmStringTest, FormatGrowsTo9983CharactersAndNoFurther) {
    std::u16string arg(9983, u'q');
    BmString s;
    EXPECT_EQ(9983, s.Format(u"%s", arg.c_str()));
    EXPECT_EQ(9983, s.Length());
    EXPECT_EQ(2 * 9983 + 2, s.Size());
    EXPECT_GE(malloc_usable_size(const_cast<void*>(s.Buffer())), 19968u);
    EXPECT_EQ(arg, WideUnits(s));

    arg.push_back(u'q');
    BmString t("old text");
    EXPECT_EQ(0, t.Format(u"%s", arg.c_str()));
    EXPECT_EQ(Wide, t.Form());
    EXPECT_EQ(0, t.Length());
    EXPECT_FALSE(t.OwnsBuffer());

    // A huge width is bounded by the same limit, never written past the buffer.
    EXPECT_EQ(0, t.Format(u"%99999d", 1));
    EXPECT_EQ(0, t.Length());
}

TEST_F(BmStringTest, FormatConversions) {
    BmString s;
    EXPECT_EQ(17, s.Format(u"%02X-%02X-%02X-%02X-%02X-%02X", 0x0, 0x1b, 0xAB, 0xcd, 0xe, 0xff));
    EXPECT_EQ(u"00-1B-AB-CD-0E-FF", WideUnits(s));
    s.Format(u"%d.%d.%d.%d", 6, 9, 114, 0);
    EXPECT_EQ(u"6.9.114.0", WideUnits(s));
    s.Format(u"[%s|%s]", static_cast<const char16_t*>(nullptr), u"x\u00e9\u20ac");
    EXPECT_EQ(u"[(null)|x\u00e9\u20ac]", WideUnits(s));
    s.Format(u"%d %i %u %x", INT_MIN, -5, 4294967295u, 0xbeefu);
    EXPECT_EQ(u"-2147483648 -5 4294967295 beef", WideUnits(s));
    s.Format(u"|%-5d|%5d|%05d|%-3s|%c|%%|", 42, -42, -42, u"ab", u'Z');
    EXPECT_EQ(u"|42   |  -42|-0042|ab |Z|%|", WideUnits(s));
    s.Format(u"%q and %");
    EXPECT_EQ(u"%q and %", WideUnits(s));
    EXPECT_EQ(0, s.Format(u""));
    EXPECT_EQ(0, s.Length());
    EXPECT_EQ(0, gReports);

    EXPECT_EQ(0, s.Format(nullptr));
    EXPECT_EQ(1, gReports);
}

TEST_F(BmStringTest, NarrowingFailsAboveCodeUnit255AndKeepsTheWideText) {
    BmString s(u"a\u0100b");
    EXPECT_FALSE(s.ToNarrow());
    EXPECT_EQ(Wide, s.Form());
    EXPECT_EQ(u"a\u0100b", WideUnits(s));
    const char* narrow = s.NarrowText();
    EXPECT_STREQ("", narrow);
    EXPECT_NE(static_cast<const void*>(narrow), s.Buffer());

    // A narrowing write buffer is refused rather than handing out the wide buffer.
    EXPECT_EQ(nullptr, s.NarrowWriteBuffer(8));
    // Appending bytes would mix them into the wide text: the string is left alone.
    s.AppendNarrow("zz");
    EXPECT_EQ(u"a\u0100b", WideUnits(s));

    // Bytes 1..255 map to code units 1..255 and back.
    BmString latin(u"\u00e9\u00ff\u0001");
    EXPECT_TRUE(latin.ToNarrow());
    EXPECT_EQ(std::string("\xe9\xff\x01"), NarrowBytes(latin));
    EXPECT_TRUE(latin.ToWide());
    EXPECT_EQ(u"\u00e9\u00ff\u0001", WideUnits(latin));
}

TEST_F(BmStringTest, EqualsComparesExactlyInTheOthersForm) {
    BmString narrow("ABC");
    BmString wide(u"ABC");
    EXPECT_TRUE(narrow.Equals(wide));
    EXPECT_EQ(Wide, narrow.Form());
    EXPECT_EQ(Wide, wide.Form());

    BmString a("1.2"), b("1.20"), lower("a"), upper("A");
    EXPECT_FALSE(a.Equals(b));
    EXPECT_FALSE(lower.Equals(upper));

    BmString unconvertible(u"\u0100BC");
    BmString narrowAbc(
        "\xc4"
        "BC");
    EXPECT_FALSE(unconvertible.Equals(narrowAbc));
    EXPECT_EQ(Wide, unconvertible.Form());

    BmString emptyWide, emptyNarrow("");
    EXPECT_TRUE(emptyWide.Equals(emptyNarrow));

    // A received text may carry a zero inside; it must not match another text of its length.
    BmString withZero, plain("AB");
    ASSERT_TRUE(withZero.SetBytes(Narrow, 3, "A\0"));
    EXPECT_FALSE(withZero.Equals(plain));
    EXPECT_FALSE(plain.Equals(withZero));
}

TEST_F(BmStringTest, FindLastAndRight) {
    BmString path("..\\a\\b");
    EXPECT_EQ(4, path.FindLast('\\'));
    EXPECT_EQ(-1, path.FindLast('/'));
    EXPECT_EQ(Narrow, path.Form());  // never converts
    BmString widePath(u"x\u00e9\\y");
    EXPECT_EQ(2, widePath.FindLast('\\'));
    EXPECT_EQ(1, widePath.FindLast(0xe9));

    BmString abc("abc");
    BmString out(u"left over");
    abc.Right(out, 5);
    EXPECT_EQ(Narrow, out.Form());
    EXPECT_STREQ("abc", out.NarrowText());
    abc.Right(out, 2);
    EXPECT_STREQ("bc", out.NarrowText());
    abc.Right(out, 0);
    EXPECT_EQ(Narrow, out.Form());
    EXPECT_EQ(0, out.Length());
    EXPECT_EQ(0, gReports);

    abc.Right(out, -1);
    EXPECT_EQ(1, gReports);
    EXPECT_EQ(0, out.Length());

    BmString wideText(u"hello");
    wideText.Right(wideText, 3);  // into itself
    EXPECT_EQ(u"llo", WideUnits(wideText));
}

TEST_F(BmStringTest, WriteBufferAndCommitLength) {
    BmString s("abc");
    char* buffer = static_cast<char*>(s.WriteBuffer(10));
    ASSERT_NE(nullptr, buffer);
    EXPECT_EQ(11, s.Size());
    EXPECT_EQ(10, s.Length());
    EXPECT_EQ(0, std::memcmp(buffer, "abc\0\0\0\0\0\0\0\0", 11));
    s.CommitLength(-1);
    EXPECT_EQ(3, s.Length());
    EXPECT_STREQ("abc", s.NarrowText());

    // A smaller request hands back the current buffer.
    EXPECT_EQ(s.Buffer(), s.WriteBuffer(2));

    // Over the limit: null, and the string is unchanged.
    EXPECT_EQ(nullptr, s.WriteBuffer(20000));
    EXPECT_STREQ("abc", s.NarrowText());

    // A count at or beyond the capacity is reported and cut to capacity - 1.
    std::memcpy(s.WriteBuffer(4), "wxyz", 4);
    s.CommitLength(9);
    EXPECT_EQ(1, gReports);
    EXPECT_STREQ("wxyz", s.NarrowText());

    // Nothing measured means empty.
    char* empty = static_cast<char*>(s.WriteBuffer(6));
    empty[0] = 0;
    s.CommitLength(-1);
    EXPECT_EQ(0, s.Length());
    EXPECT_FALSE(s.OwnsBuffer());

    BmString wide(u"n\u00e4me");
    char* name = wide.NarrowWriteBuffer(8);
    ASSERT_NE(nullptr, name);
    EXPECT_EQ(Narrow, wide.Form());
    std::memcpy(name, "gateway1", 8);
    wide.CommitLength(8);
    EXPECT_STREQ("gateway1", wide.NarrowText());

    BmString units(u"ab");
    char16_t* w = static_cast<char16_t*>(units.WriteBuffer(4));
    w[2] = u'c';
    units.CommitLength(-1);
    EXPECT_EQ(u"abc", WideUnits(units));
    units.CommitLength(-2);
    EXPECT_EQ(2, gReports);
}

TEST_F(BmStringTest, AssignAndAppendAcrossForms) {
    BmString wide;
    wide.AppendNarrow("");  // converts even when nothing is added
    EXPECT_EQ(Narrow, wide.Form());

    BmString w(u"text");
    w.AppendNarrow("");
    EXPECT_EQ(Narrow, w.Form());
    EXPECT_STREQ("text", w.NarrowText());
    w.AppendWide(u"\u00e9");
    EXPECT_EQ(Wide, w.Form());
    EXPECT_EQ(u"text\u00e9", WideUnits(w));

    BmString narrow("n");
    narrow.Assign(w);  // keeps its own form, w untouched
    EXPECT_EQ(Narrow, narrow.Form());
    EXPECT_EQ(std::string("text\xe9"), NarrowBytes(narrow));
    EXPECT_EQ(Wide, w.Form());

    BmString copy(narrow);
    EXPECT_EQ(Narrow, copy.Form());
    EXPECT_TRUE(copy.OwnsBuffer());
    EXPECT_NE(copy.Buffer(), narrow.Buffer());

    BmString target("x");
    target.AssignWide(u"\u0100");  // no narrow form: the narrow string ends up empty
    EXPECT_EQ(Narrow, target.Form());
    EXPECT_EQ(0, target.Length());
    BmString wideTarget;
    wideTarget.AssignNarrow("\xff");
    EXPECT_EQ(u"\u00ff", WideUnits(wideTarget));
    EXPECT_EQ(0, gReports);
}

TEST_F(BmStringTest, MisuseIsReportedAndTheOperationGoesOn) {
    BmString s("abc");
    s.AssignNarrow(nullptr);
    EXPECT_EQ(1, gReports);
    EXPECT_EQ(0, s.Length());
    s.AppendWide(nullptr);
    EXPECT_EQ(2, gReports);
    EXPECT_FALSE(s.SetBytes(static_cast<StringForm>(7), 4, "abc"));
    EXPECT_EQ(3, gReports);
    EXPECT_TRUE(s.Form() == Wide || s.Form() == Narrow);
    EXPECT_FALSE(s.SetBytes(Narrow, 0, "abc"));
    EXPECT_EQ(4, gReports);
    EXPECT_FALSE(s.AllocateBuffer(Narrow, 20001));
    EXPECT_EQ(4, gReports);
    s.WriteBuffer(-1);
    EXPECT_EQ(5, gReports);

    // Half a code unit is refused; a block without its terminator still reads in bounds.
    EXPECT_FALSE(s.SetBytes(Wide, 5, u"abcd"));
    EXPECT_EQ(6, gReports);
    EXPECT_EQ(0, s.Length());
    EXPECT_TRUE(s.SetBytes(Narrow, 4, "wxyz"));
    EXPECT_STREQ("wxy", s.NarrowText());
}

}  // namespace
