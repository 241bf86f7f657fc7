// %NAME% expansion and the client-type rule built on its count.
#include <gtest/gtest.h>

#include <string>

#include "COMMON/BM_OS/envexpand.h"
#include "tests/support/env_guard.h"

namespace {
struct Expansion {
    uint32_t count;
    std::u16string text;
};
Expansion Expand(const char16_t* source, uint32_t capacity = 256) {
    std::u16string buffer(capacity, u'#');
    const uint32_t count = ExpandEnvironment(source, buffer.data(), capacity);
    const size_t end = buffer.find(u'\0');
    return {count, end == std::u16string::npos ? u"<unterminated>" : buffer.substr(0, end)};
}
}  // namespace

TEST(EnvExpand, DefinedReferencesAreReplacedOthersKept) {
    EnvGuard a("QTEST_A", "abc");
    EnvGuard empty("QTEST_EMPTY", "");
    EnvGuard undefined("QTEST_UNDEFINED", nullptr);
    struct Case {
        const char16_t* source;
        const char16_t* result;
    };
    const Case cases[] = {
        {u"%QTEST_A%", u"abc"},
        {u"x%QTEST_A%y%QTEST_A%", u"xabcyabc"},
        {u"%QTEST_UNDEFINED%", u"%QTEST_UNDEFINED%"},
        {u"%QTEST_UNDEFINED%QTEST_A%", u"%QTEST_UNDEFINED%QTEST_A%"},
        {u"[%QTEST_EMPTY%]", u"[]"},
        {u"100%", u"100%"},
        {u"%%", u"%%"},
        {u"50% of %QTEST_A%", u"50% of %QTEST_A%"},  // the reference is " of "
        {u"%QTEST_A", u"%QTEST_A"},
        {u"%QTEST\u0100A%", u"%QTEST\u0100A%"},  // cannot be an environment name
        {u"", u""},
    };
    for (const Case& c : cases) {
        const Expansion e = Expand(c.source);
        EXPECT_EQ(std::u16string(c.result), e.text);
        EXPECT_EQ(std::u16string(c.result).size() + 1, e.count);
    }
}

TEST(EnvExpand, ValueBytesBecomeCodeUnitsOneToOne) {
    EnvGuard v("QTEST_HIGH", "\xE9\xFF!");
    EXPECT_EQ(std::u16string(u"\u00E9\u00FF!"), Expand(u"%QTEST_HIGH%").text);
}

TEST(EnvExpand, CountIncludesTheTerminatorAndIsGivenEvenWhenTheBufferIsShort) {
    EnvGuard a("QTEST_A", "abcdef");
    EXPECT_EQ(7u, Expand(u"%QTEST_A%", 7).count);
    EXPECT_EQ(u"abcdef", Expand(u"%QTEST_A%", 7).text);
    const Expansion shortBuffer = Expand(u"%QTEST_A%", 6);
    EXPECT_EQ(7u, shortBuffer.count);
    EXPECT_EQ(u"<unterminated>", shortBuffer.text);  // nothing written
    EXPECT_EQ(7u, ExpandEnvironment(u"%QTEST_A%", nullptr, 0));
    EXPECT_EQ(0u, ExpandEnvironment(nullptr, nullptr, 0));
}

TEST(EnvExpand, ClientTypeFollowsRuntimeOemRev) {
    {
        EnvGuard unset("RUNTIMEOEMREV", nullptr);
        EXPECT_EQ(2, ClientTypeFromEnvironment());
    }
    struct Case {
        std::string value;
        int32_t clientType;
    };
    const Case cases[] = {
        {"1", 19},
        {"", 19},
        {std::string(62, 'v'), 19},  // count 63
        {std::string(63, 'v'), 2},   // count 64: a full 64-unit buffer, as Win32 counts it
        {std::string(500, 'v'), 2},
        // Defined, though it begins with "%": still the OEM client.
        {"%REV", 19},
    };
    for (const Case& c : cases) {
        EnvGuard set("RUNTIMEOEMREV", c.value.c_str());
        EXPECT_EQ(c.clientType, ClientTypeFromEnvironment()) << "length " << c.value.size();
    }
}
