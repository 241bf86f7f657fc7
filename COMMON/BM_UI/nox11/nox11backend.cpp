// The X11 backend's constructor in a build without X11 support: the layer then notes that and runs
// headless.
#include "COMMON/BM_UI/uibackend.h"

std::unique_ptr<UiBackend> MakeX11Backend(std::string* whyNot) {
    *whyNot = "X11 is not built in";
    return nullptr;
}
