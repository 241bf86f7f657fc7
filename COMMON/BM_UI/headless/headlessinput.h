// Input injected for the headless backend: the queued menu choices and the cursor a tap moves.
// The X11 backend has a person's pointer and menu instead. Internal to COMMON/BM_UI.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "COMMON/BM_UI/uirecords.h"
#include "COMMON/BM_UI/winapi.h"

class HeadlessInput {
public:
    struct MenuChoice {
        enum class Kind { Id, Text, Dismiss } kind = Kind::Dismiss;
        uintptr_t id = 0;
        std::string text;
    };

    // The process's one instance.
    static HeadlessInput& Instance();

    // Queues a choice for the next tracked headless menu.
    void PushChoice(const MenuChoice& choice) { choices_.push_back(choice); }
    // Takes the next queued choice and resolves it against the items: the id of the enabled item
    // it names, else 0 (dismissed; also without a queued choice).
    uintptr_t ConsumeChoice(const std::vector<BmMenuItem>& items);
    size_t PendingChoices() const { return choices_.size(); }
    void ClearChoices() { choices_.clear(); }

    // Where the last injected tap was, in screen coordinates.
    POINT Cursor() const { return cursor_; }
    void SetCursor(POINT at) { cursor_ = at; }

    // Forgets the queued choices and the cursor.
    void Clear();

private:
    std::deque<MenuChoice> choices_;
    POINT cursor_{};
};
