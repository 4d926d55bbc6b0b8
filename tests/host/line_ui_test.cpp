// Line mode must say what a person at the dialog sees, one event a line: the dialog is driven
// here as the updater drives it, control by control.
#include "host/line_ui.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using host::ControlKind;
using host::DialogChange;

class StepTime final : public host::TimeSource {
  public:
    int64_t now_us() override { return now_us_; }
    void At(int64_t ms) { now_us_ = ms * 1000; }

  private:
    int64_t now_us_ = 0;
};

class NoSite final : public host::DialogSite {
  public:
    void PostCommand(int) override {}
    void PostInterrupt(host::Interrupt) override {}
    host::ControlColors ColorsOf(int) override { return {}; }
};

host::ControlState Control(int id, ControlKind kind, const wchar_t* text, bool visible) {
    host::ControlState control;
    control.id = id;
    control.kind = kind;
    control.text = text;
    control.visible = visible;
    return control;
}

// The update dialog's controls that line mode speaks of, as the template starts them.
class Dialog {
  public:
    Dialog() : ui_(out_, &time_) {
        state_.controls = {
            Control(1000, ControlKind::kButton, L"Upgrading in progress!", true),
            Control(1019, ControlKind::kStatic, L"Be careful !! \nAny incorrect image", true),
            Control(1007, ControlKind::kProgressBar, L"Progress1", false),
            Control(1009, ControlKind::kButton, L"Cancel", false),
            Control(1013, ControlKind::kStatic, L"Processing...        remaining:", false),
            Control(1016, ControlKind::kStatic, L".....", false),
        };
    }

    void At(int64_t ms) { time_.At(ms); }
    void Open() { ui_.OnDialogOpened(state_, site_); }
    void Title(const wchar_t* text) { Set(DialogChange::kTitle, 0, state_.title, text); }
    void Notice(const wchar_t* text) { Set(DialogChange::kNotice, 0, state_.notice, text); }
    void Text(int id, const wchar_t* text) { Set(DialogChange::kText, id, Find(id).text, text); }
    void Show(int id, bool on = true) { Set(DialogChange::kVisible, id, Find(id).visible, on); }
    void Range(int32_t high) { Set(DialogChange::kRange, 1007, Find(1007).range_high, high); }
    void Pos(int32_t at) { Set(DialogChange::kPosition, 1007, Find(1007).position, at); }
    // The progress step: the bar, then the label 10 ms later.
    void Step(int32_t position, const wchar_t* label) {
        Pos(position);
        At(time_.now_ms() + 10);
        Text(1016, label);
    }
    host::LineUi& ui() { return ui_; }
    // The lines written since the last call.
    std::vector<std::string> NewLines() {
        std::vector<std::string> lines;
        std::istringstream in(out_.str().substr(taken_));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        taken_ = out_.str().size();
        return lines;
    }

  private:
    host::ControlState& Find(int id) { return *const_cast<host::ControlState*>(state_.Find(id)); }
    // A field of the dialog, or of control `id`, set as the framework sets it, then published.
    template <typename Field, typename Value>
    void Set(DialogChange::Kind kind, int id, Field& field, Value value) {
        field = value;
        ui_.OnDialogChanged({kind, id}, state_);
    }

    std::ostringstream out_;
    StepTime time_;
    NoSite site_;
    host::DialogState state_;
    host::LineUi ui_;
    size_t taken_ = 0;
};

struct Scenario {
    const char* name;
    std::function<void(Dialog&)> steps;
    std::vector<std::string> lines;
};

// The countdown's start: the status, the bar and its label, the first time; not compared.
void UpToTheDownload(Dialog& d) {
    d.Open();
    d.Show(1013);
    d.Show(1007);
    d.Show(1016);
    d.Text(1016, L" 8m10s ");
    d.Range(480);
    d.NewLines();
}

const Scenario kScenarios[] = {
    {"the opening says the title and the texts a person reads; the countdown each time",
     [](Dialog& d) {
         d.Open();
         d.At(20);
         d.Show(1009, false);
         d.Title(L"GSM Updater");
         d.At(500);
         d.Show(1013);
         d.At(1000);
         d.Show(1007);
         d.Show(1016);
         d.Text(1016, L" 8m10s ");
         d.At(8000);
         d.Text(1016, L" 7m59s ");
         d.Range(480);  // moves nothing
     },
     {R"([     0.000] open title="")", R"([     0.000] status text="Upgrading in progress!")",
      R"([     0.000] status text="Be careful !! \nAny incorrect image")",
      R"([     0.020] title text="GSM Updater")",
      R"([     0.500] status text="Processing...        remaining:")",
      "[     1.000] progress phase=SW percent=0 remaining=-",
      "[     1.000] progress phase=SW percent=0 remaining=8m10s",
      "[     8.000] progress phase=SW percent=0 remaining=7m59s"}},
    {"a progress step is one line, stamped when its label shows",
     [](Dialog& d) {
         UpToTheDownload(d);
         d.At(9448);
         d.Step(17, L" 7m43s ");
         d.Step(18, L" 7m42s ");  // the same percent: the time still moved
         d.Step(18, L" 7m42s ");  // nothing moved: nothing said
     },
     {"[     9.458] progress phase=SW percent=3 remaining=7m43s",
      "[     9.468] progress phase=SW percent=3 remaining=7m42s"}},
    {"a held move of the bar comes, with its time, before the next line",
     [](Dialog& d) {
         UpToTheDownload(d);
         d.At(100);
         d.Pos(35);
         d.At(105);
         d.ui().ShowMessageBox(L"Port \"COM1:\"\nnot found", L"GSM Updater", host::kMbOk);
     },
     {"[     0.100] progress phase=SW percent=7 remaining=8m10s",
      R"([     0.105] box caption="GSM Updater" text="Port \"COM1:\"\nnot found" answer=OK)"}},
    {"the completion",
     [](Dialog& d) {
         UpToTheDownload(d);
         d.Step(463, L" 0m17s ");
         d.Text(1013, L"Processing...  ");
         d.Show(1016, false);
         d.Pos(480);
         d.At(2000);
         d.ui().ShowMessageBox(L"GSM upgrade Success!", L"Success!!", host::kMbOk);
         d.ui().OnDialogClosed();
         d.ui().Outcome(0, "Updated: \"SW\" and \"FS\" images confirmed");
     },
     {"[     0.010] progress phase=FS percent=96 remaining=0m17s",
      R"([     0.010] status text="Processing...  ")",
      "[     0.010] progress phase=FS percent=96 remaining=-",
      "[     0.010] progress phase=FS percent=100 remaining=-",
      R"([     2.000] box caption="Success!!" text="GSM upgrade Success!" answer=OK)",
      "[     2.000] close",
      R"([     2.000] outcome exit=0 text="Updated: \"SW\" and \"FS\" images confirmed")"}},
    {"a text is said once while it stands, and again when it comes back",
     [](Dialog& d) {
         d.Open();
         d.Show(1013);
         d.NewLines();
         d.Show(1013);
         d.Text(1013, L"Processing...        remaining:");
         d.Show(1013, false);
         d.Show(1013);
         d.Text(1013, L"Processing...  ");
     },
     {R"([     0.000] status text="Processing...        remaining:")",
      R"([     0.000] status text="Processing...  ")"}},
    {"interrupts, the beep and a failed end",
     [](Dialog& d) {
         d.Open();
         d.NewLines();
         d.Notice(L"The update cannot be stopped safely.");
         d.ui().ErrorBeep();
         d.Notice(L"");
         d.ui().OnDialogClosed();
         d.ui().Outcome(1, "COM1: cannot be opened\\n");
     },
     {R"([     0.000] notice text="The update cannot be stopped safely.")", "[     0.000] beep",
      R"([     0.000] notice text="")", "[     0.000] close",
      R"([     0.000] outcome exit=1 text="COM1: cannot be opened\\n")"}},
};

TEST(LineUiTest, SaysEachEventAsAPersonSeesIt) {
    for (const Scenario& scenario : kScenarios) {
        SCOPED_TRACE(scenario.name);
        Dialog dialog;
        scenario.steps(dialog);
        EXPECT_EQ(dialog.NewLines(), scenario.lines);
    }
}

}  // namespace
