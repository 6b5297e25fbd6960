#include "run/update_run.h"

#include <gtest/gtest.h>

#include "platform/text_table.h"
#include "support/fake_window.h"

namespace corvana {
namespace {

class ErrorReportTest : public ::testing::Test {
protected:
    void SetUp() override { m_run.SetView(&m_view); }
    std::string Box(const std::string& text) {
        return "box " + LoadText(IDS_ERROR_CAPTION) + "|" + text;
    }

    UpdateRun m_run;
    test::FakeWindow m_window;
    PanelView m_view{m_window};
};

TEST_F(ErrorReportTest, CodeZeroClosesWithoutABox) {
    m_run.ReportErrorCode(0);
    EXPECT_EQ(m_window.calls, std::vector<std::string>{"close"});
}

TEST_F(ErrorReportTest, CodedFailureShowsTheCodeMessageThenCloses) {
    m_run.ReportErrorCode(-3);
    EXPECT_EQ(m_window.calls,
              (std::vector<std::string>{Box(LoadText(IDS_ERROR_CODE) + " : #-3"), "close"}));
}

TEST_F(ErrorReportTest, EmptyMessageShowsNoBox) {
    m_run.ReportError(-1, "");
    EXPECT_EQ(m_window.calls, std::vector<std::string>{"close"});
}

TEST_F(ErrorReportTest, MessageKeepsItsLineBreaks) {
    const std::string message = LoadText(IDS_NO_INTERNET_MESSAGE);
    ASSERT_NE(message.find("\n\n"), std::string::npos);
    m_run.ReportError(-1, message);
    EXPECT_EQ(m_window.calls, (std::vector<std::string>{Box(message), "close"}));
    m_window.calls.clear();
    m_run.ReportError(0, message);  // code 0: never a box
    EXPECT_EQ(m_window.calls, std::vector<std::string>{"close"});
}

}  // namespace
}  // namespace corvana
