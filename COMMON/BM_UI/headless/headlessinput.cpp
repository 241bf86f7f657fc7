#include "COMMON/BM_UI/headless/headlessinput.h"

#include "COMMON/BM_UI/uicontrol.h"
#include "COMMON/BM_UI/uitext.h"

HeadlessInput& HeadlessInput::Instance() {
    static HeadlessInput input;
    return input;
}

uintptr_t HeadlessInput::ConsumeChoice(const std::vector<BmMenuItem>& items) {
    if (choices_.empty()) {
        return 0;
    }
    const MenuChoice choice = choices_.front();
    choices_.pop_front();
    for (const auto& item : items) {
        if (!item.Selectable()) {
            continue;
        }
        if ((choice.kind == MenuChoice::Kind::Id && item.id == choice.id) ||
            (choice.kind == MenuChoice::Kind::Text && Utf16ToUtf8(item.text) == choice.text)) {
            return item.id;
        }
    }
    return 0;
}

void HeadlessInput::Clear() {
    choices_.clear();
    cursor_ = POINT{};
}

void InjectMenuChoiceId(uintptr_t id) {
    HeadlessInput::Instance().PushChoice({HeadlessInput::MenuChoice::Kind::Id, id, {}});
}

void InjectMenuChoiceText(const std::string& textUtf8) {
    HeadlessInput::Instance().PushChoice({HeadlessInput::MenuChoice::Kind::Text, 0, textUtf8});
}

void InjectMenuDismiss() {
    HeadlessInput::Instance().PushChoice({HeadlessInput::MenuChoice::Kind::Dismiss, 0, {}});
}

void ClearInjectedMenuChoices() {
    HeadlessInput::Instance().ClearChoices();
}
