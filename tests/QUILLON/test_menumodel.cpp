// The command menu's entries for each state, and the screen class table the requests carry.
#include <gtest/gtest.h>

#include <string>

#include "QUILLON/menumodel.h"
#include "QUILLON/screenclass.h"

namespace {
// "Cleanup Desktop | --- | [x] Monitor Mode | ..." with the ids checked against the texts.
std::string Describe(const MenuState& state) {
    std::string out;
    for (const MenuEntry& entry : CommandMenuEntries(state)) {
        if (!out.empty()) {
            out += " | ";
        }
        if (entry.IsSeparator()) {
            out += "---";
            continue;
        }
        out += entry.checked ? "[x] " : "";
        for (const char16_t* p = entry.text; *p; ++p) {
            out.push_back(static_cast<char>(*p));
        }
        out += "#" + std::to_string(entry.id);
    }
    return out;
}

const std::string kHead = "Cleanup Desktop#1125 | --- | Restart Network#1133 | --- | ";
const std::string kTail = " | --- | Exit#1130";

TEST(CommandMenu, RunningApplicationShowsOnlyThatItRuns) {
    MenuState state;
    state.appRunning = state.connected = state.haveLocal = state.haveGateway = true;
    state.monitorMode = true;
    EXPECT_EQ(Describe(state),
              kHead + "Torvix Running#1131 | --- | [x] Monitor Mode#1129 | Dev Mode#1134" + kTail);
}

TEST(CommandMenu, StartEntriesNeedAnInstalledVersionAndGetNeedsTheGatewaysAnswer) {
    MenuState state;
    state.haveLocal = true;  // disconnected, installed
    EXPECT_EQ(Describe(state), kHead +
                                   "Start Torvix#1127 | Start Torvix Remote#1128 | --- | Monitor Mode#1129 | "
                                   "Dev Mode#1134" +
                                   kTail);
    state = MenuState{};
    state.connected = state.haveGateway = true;  // nothing installed
    state.devMode = true;
    EXPECT_EQ(Describe(state),
              kHead + "Get Torvix#1126 | --- | Monitor Mode#1129 | [x] Dev Mode#1134" + kTail);
    // Connected but no answer: no "Get Torvix".
    state.haveGateway = false;
    EXPECT_EQ(Describe(state), kHead + "Monitor Mode#1129 | [x] Dev Mode#1134" + kTail);
    // An answer while not connected cannot happen, and would not show it either.
    state.connected = false;
    state.haveGateway = true;
    EXPECT_EQ(Describe(state), kHead + "Monitor Mode#1129 | [x] Dev Mode#1134" + kTail);
}

TEST(CommandMenu, EverythingAvailable) {
    MenuState state;
    state.connected = state.haveLocal = state.haveGateway = true;
    EXPECT_EQ(Describe(state),
              kHead +
                  "Get Torvix#1126 | --- | Start Torvix#1127 | Start Torvix Remote#1128 | --- | "
                  "Monitor Mode#1129 | Dev Mode#1134" +
                  kTail);
}

TEST(ScreenClass, Table) {
    EXPECT_EQ(ClassifyScreen(240, 240), 4);
    EXPECT_EQ(ClassifyScreen(240, 320), 1);
    EXPECT_EQ(ClassifyScreen(320, 240), 3);
    EXPECT_EQ(ClassifyScreen(800, 480), 2);
    EXPECT_EQ(ClassifyScreen(480, 800), 0);  // too tall for the fixed sizes; by shape nearer 0.75
    EXPECT_EQ(ClassifyScreen(800, 600), 0);
    EXPECT_EQ(ClassifyScreen(1024, 768), 0);  // r = 0.75
    EXPECT_EQ(ClassifyScreen(1280, 800), 2);  // r = 0.625
    EXPECT_EQ(ClassifyScreen(1000, 700), 2);  // r = 0.7, half-way: not nearer 0.75
    EXPECT_EQ(ClassifyScreen(1920, 1080), 2);
    EXPECT_EQ(ClassifyScreen(801, 600), 0);
    EXPECT_EQ(ClassifyScreen(0, 0), 4);
}
}  // namespace
