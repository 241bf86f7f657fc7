#include "QUILLON/menumodel.h"

#include "QUILLON/commandids.h"

namespace {
MenuEntry Item(uint32_t id, const char16_t* text, bool checked = false) {
    return MenuEntry{id, text, checked};
}
MenuEntry Separator() {
    return MenuEntry{};
}
}  // namespace

std::vector<MenuEntry> CommandMenuEntries(const MenuState& state) {
    std::vector<MenuEntry> entries;
    entries.push_back(Item(IDM_CLEANUP_DESKTOP, u"Cleanup Desktop"));
    entries.push_back(Separator());
    entries.push_back(Item(IDM_RESTART_NETWORK, u"Restart Network"));
    entries.push_back(Separator());
    if (state.appRunning) {
        entries.push_back(Item(IDM_TORVIX_RUNNING, u"Torvix Running"));
        entries.push_back(Separator());
    } else {
        if (state.connected && state.haveGateway) {
            entries.push_back(Item(IDM_GET_TORVIX, u"Get Torvix"));
            entries.push_back(Separator());
        }
        if (state.haveLocal) {
            entries.push_back(Item(IDM_START_TORVIX, u"Start Torvix"));
            entries.push_back(Item(IDM_START_TORVIX_REMOTE, u"Start Torvix Remote"));
            entries.push_back(Separator());
        }
    }
    entries.push_back(Item(IDM_MONITOR_MODE, u"Monitor Mode", state.monitorMode));
    entries.push_back(Item(IDM_DEV_MODE, u"Dev Mode", state.devMode));
    entries.push_back(Separator());
    entries.push_back(Item(IDM_EXIT, u"Exit"));
    return entries;
}
