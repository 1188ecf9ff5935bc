// The terminal and JSON output: progress throttling, the bar, and the event lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "RunQuarnel.h"
#include "cli/TCliOutput.h"

namespace {

std::string ReadAll(std::FILE* f) {
    std::rewind(f);
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    return s;
}

} // namespace

TEST(ProgressThrottle, RedrawsAtStepStartThenAtMostEvery100Ms) {
    TProgressThrottle t(100000);
    t.Start(100, 1000000);
    EXPECT_TRUE(t.Due(1, 1000000));
    EXPECT_FALSE(t.Due(2, 1050000));
    EXPECT_FALSE(t.Due(3, 1099999));
    EXPECT_TRUE(t.Due(4, 1100000));
    EXPECT_FALSE(t.Due(5, 1100001));
    t.Start(10, 1100002); // a new step is drawn at once
    EXPECT_TRUE(t.Due(1, 1100002));
}

TEST(ProgressThrottle, PercentAndTimeLeft) {
    TProgressThrottle t;
    EXPECT_EQ(t.Percent(5), 0); // no maximum yet
    t.Start(200, 0);
    EXPECT_EQ(t.Percent(0), 0);
    EXPECT_EQ(t.Percent(50), 25);
    EXPECT_EQ(t.Percent(199), 99);
    EXPECT_EQ(t.Percent(500), 100);
    EXPECT_LT(t.SecondsLeft(50, 400000), 0); // too early to tell
    EXPECT_DOUBLE_EQ(t.SecondsLeft(50, 2000000), 6.0);
    EXPECT_DOUBLE_EQ(t.SecondsLeft(200, 2000000), 0.0);
}

TEST(ProgressBar, LabelBarPercentAndTimeLeft) {
    const std::string text = ProgressBarText("Erasing flash memory.", 40, 7.2, 80);
    EXPECT_EQ(text.rfind("Erasing flash memory.", 0), 0u);
    EXPECT_NE(text.find("] "), std::string::npos);
    EXPECT_NE(text.find(" 40%"), std::string::npos);
    EXPECT_NE(text.find("0:07 left"), std::string::npos);
    EXPECT_LT(text.size(), 80u);
    const size_t open = text.find('[');
    const size_t close = text.find(']');
    const std::string bar = text.substr(open + 1, close - open - 1);
    EXPECT_EQ(std::count(bar.begin(), bar.end(), '#'), long(bar.size() * 40 / 100));
    EXPECT_EQ(ProgressBarText("x", 100, -1, 80).find("left"), std::string::npos);
    EXPECT_LT(ProgressBarText("Flashing program image.", 55, 3725, 30).size(), 30u);
    EXPECT_NE(ProgressBarText("x", 10, 3725, 120).find("1:02:05 left"), std::string::npos);
}

TEST(PercentGate, OneEventPerWholePercent) {
    TPercentGate g;
    g.Start();
    EXPECT_TRUE(g.Due(0));
    EXPECT_FALSE(g.Due(0));
    EXPECT_TRUE(g.Due(1));
    EXPECT_TRUE(g.Due(3));
    EXPECT_FALSE(g.Due(3));
    g.Start();
    EXPECT_TRUE(g.Due(3));
}

TEST(CliOutput, JsonEventsOnePerLine) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_NE(err, nullptr);
    TCliOutput::TConfig c;
    c.json = true;
    c.out = out;
    c.err = err;
    TCliOutput o(c);
    THostHooks hooks = o.Hooks();
    hooks.appendLogLine("Erasing flash memory.                          ");
    hooks.setProgressMax(200);
    hooks.setProgressPos(1); // still 0 %: no event
    hooks.setProgressPos(2); // 1 %
    hooks.setProgressPos(3);
    hooks.setProgressPos(200);
    o.Event({{"event", "result"}, {"exit_code", 0}});
    o.Summary("done");
    const std::vector<std::string> lines = SplitLines(ReadAll(out));
    ASSERT_EQ(lines.size(), 5u);
    std::vector<nlohmann::json> events;
    for (const auto& l : lines)
        events.push_back(nlohmann::json::parse(l));
    EXPECT_EQ(events[0]["event"], "log");
    EXPECT_EQ(events[0]["line"], "Erasing flash memory.                          ");
    EXPECT_EQ(events[1]["event"], "progress");
    EXPECT_EQ(events[1]["max"], 200);
    EXPECT_EQ(events[1]["pos"], 0);
    EXPECT_EQ(events[2]["pos"], 2);
    EXPECT_EQ(events[3]["pos"], 200);
    EXPECT_EQ(events[4]["event"], "result");
    EXPECT_EQ(ReadAll(err), "quarnel: done\n");
    std::fclose(out);
    std::fclose(err);
}

TEST(CliOutput, PlainLogLinesAsTheWindowShowsThem) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    TCliOutput::TConfig c;
    c.out = out;
    TCliOutput o(c);
    o.LogLine("Completed.                                     ");
    o.LogLine("  0x00000040");
    o.Event({{"event", "result"}}); // events belong to --json only
    o.ProgressMax(10);
    o.ProgressPos(5);
    EXPECT_EQ(ReadAll(out), "Completed.                                     \n  0x00000040\n");
    std::fclose(out);
}
