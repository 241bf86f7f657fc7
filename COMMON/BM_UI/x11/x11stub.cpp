#include "COMMON/BM_UI/uistate.h"
std::unique_ptr<UiBackend> MakeX11Backend(std::string* whyNot) {
    *whyNot = "not built";
    return nullptr;
}
