// The contents of the command menu for one state of the launcher, independent of how the menu
// is shown.
#pragma once

#include <cstdint>
#include <vector>

// What the tap handling finds out before it builds the menu.
struct MenuState {
    bool appRunning = false;   // IsTorvixRunning
    bool connected = false;    // the gateway client's IsConnected
    bool haveLocal = false;    // the installed version could be read
    bool haveGateway = false;  // the gateway answered the version query
    bool monitorMode = false;
    bool devMode = false;
};

struct MenuEntry {
    uint32_t id = 0;                 // command id; 0 for a separator
    const char16_t* text = nullptr;  // nullptr for a separator
    bool checked = false;

    bool IsSeparator() const { return text == nullptr; }
};

// The menu entries, top first, for `state`.
std::vector<MenuEntry> CommandMenuEntries(const MenuState& state);
