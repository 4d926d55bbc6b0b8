// The progress a person reads (terminal hint row, line mode) must agree with what the bar and
// the remaining-time label show, and with the percent the registry publishes.
#include <gtest/gtest.h>

#include "host/progress_view.h"

namespace {

host::DialogState WithBar(bool shown, int32_t position, const wchar_t* label) {
    host::DialogState state;
    host::ControlState bar;
    bar.kind = host::ControlKind::kProgressBar;
    bar.visible = shown;
    bar.range_high = 480;
    bar.position = position;
    host::ControlState status;
    status.text = L"Processing...        remaining:";
    status.visible = true;
    host::ControlState time;
    time.text = label;
    time.visible = true;
    state.controls = {status, bar, time};
    return state;
}

TEST(ProgressViewTest, ReadsPhasePercentAndTimeOffTheDialog) {
    struct Case {
        bool shown;
        int32_t position;
        const wchar_t* label;
        const char* words;
    };
    const Case cases[] = {
        {false, 0, L" 8m00s ", ""},                            // before the download
        {true, 0, L".....", "SW image 0%"},                    // the template's label
        {true, 17, L" 7m43s ", "SW image 3%, 7m43s left"},     // 17 × 100 / 480 = 3.5
        {true, 319, L" 2m41s ", "SW image 66%, 2m41s left"},   // the SW image's last unit
        {true, 320, L" 2m40s ", "FS image 66%, 2m40s left"},   // the FS image's first
        {true, 480, L" 0m00s ", "FS image 100%, 0m00s left"},  // the completion
        {true, 100, L" 7m4s ", "SW image 20%"},                // not a time: left out
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.position);
        EXPECT_EQ(host::DescribeProgress(host::ViewProgress(WithBar(c.shown, c.position, c.label))),
                  c.words);
    }
}

}  // namespace
