#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "COMMON/BM_UTIL/bmassert.h"
#include "COMMON/BM_UTIL/bmstring.h"

namespace {

std::vector<std::u16string> gReports;

void Record(const BmString& text) {
    BmString copy(text);
    gReports.emplace_back(copy.WideText());
}

// Raises a report of its own while the first one is being delivered.
void RecordAndReportAgain(const BmString& text) {
    Record(text);
    ReportAssertion("nested", 2, true);
}

class AssertReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        gReports.clear();
        SetAssertionObserver(Record);
    }
    void TearDown() override { SetAssertionObserver(nullptr); }
};

TEST_F(AssertReportTest, TextCarriesFileLineAndBuild) {
    EXPECT_EQ(std::u16string(u"6.9 Build 114.0 Rel"), kBuildString);
    const int line = __LINE__ + 1;
    BM_ASSERT_REPORT();
    ASSERT_EQ(1u, gReports.size());
    // Only "\" separates, so a Linux path is kept whole (project-relative through the prefix map).
    BmString expected;
    expected.Format(u"tests/BM_UTIL/test_assert.cpp(line %d: 6.9 Build 114.0 Rel)", line);
    EXPECT_EQ(std::u16string(expected.WideText()), gReports[0]);
}

TEST_F(AssertReportTest, OnlyBackslashSeparatesTheFileName) {
    ReportAssertion("mainwnd", 231, true);
    ReportAssertion("..\\COMMON\\BM_COMM\\bmsocket", 7, true);
    ReportAssertion("include\\../COMMON/BM_UTIL/bmstring", 0, true);
    ReportAssertion("dir\\", -3, true);
    ReportAssertion(nullptr, 5, true);
    ASSERT_EQ(5u, gReports.size());
    EXPECT_EQ(u"mainwnd(line 231: 6.9 Build 114.0 Rel)", gReports[0]);
    EXPECT_EQ(u"bmsocket(line 7: 6.9 Build 114.0 Rel)", gReports[1]);
    EXPECT_EQ(u"../COMMON/BM_UTIL/bmstring(line 0: 6.9 Build 114.0 Rel)", gReports[2]);
    EXPECT_EQ(u"(line -3: 6.9 Build 114.0 Rel)", gReports[3]);
    EXPECT_EQ(u"(line 5: 6.9 Build 114.0 Rel)", gReports[4]);
}

TEST_F(AssertReportTest, HighBytesInThePathSurviveTheWideText) {
    ReportAssertion("d\xe9j\xe0\\f\xfc", 1, true);
    ASSERT_EQ(1u, gReports.size());
    EXPECT_EQ(u"f\u00fc(line 1: 6.9 Build 114.0 Rel)", gReports[0]);
}

TEST_F(AssertReportTest, NoSendMeansNoReport) {
    ReportAssertion("file", 1, false);
    BM_ASSERT(1 + 1 == 2);
    EXPECT_TRUE(gReports.empty());
    BM_ASSERT(1 + 1 == 3);
    EXPECT_EQ(1u, gReports.size());
}

TEST_F(AssertReportTest, ReportRaisedWhileReportingIsDropped) {
    SetAssertionObserver(RecordAndReportAgain);
    ReportAssertion("outer", 1, true);
    ASSERT_EQ(1u, gReports.size());
    EXPECT_EQ(u"outer(line 1: 6.9 Build 114.0 Rel)", gReports[0]);

    // The guard is released afterwards: the next report goes through.
    SetAssertionObserver(Record);
    ReportAssertion("later", 3, true);
    ASSERT_EQ(2u, gReports.size());
    EXPECT_EQ(u"later(line 3: 6.9 Build 114.0 Rel)", gReports[1]);
}

TEST_F(AssertReportTest, HandlerTakesEachReportOnceAndCannotRecurse) {
    SetAssertionObserver(nullptr);
    SetAssertionHandler(RecordAndReportAgain);
    ReportAssertion("outer", 1, true);
    SetAssertionHandler(nullptr);
    ReportAssertion("dropped", 2, true);
    ASSERT_EQ(1u, gReports.size());
    EXPECT_EQ(u"outer(line 1: 6.9 Build 114.0 Rel)", gReports[0]);
}

TEST_F(AssertReportTest, ReportWithoutGatewayClientDoesNotFail) {
    SetAssertionObserver(nullptr);
    ReportAssertion("early", 10, true);  // composed and dropped
    SUCCEED();
}

}  // namespace
