#include "tests/QUILLON/support_window.h"

#include <sys/stat.h>

#include "COMMON/BM_UI/uicontrol.h"
#include "QUILLON/launchpacing.h"

std::string TextOf(BmString text) {
    return text.NarrowText();
}

bool FakeTablet::LocalVersion(BmString* text) {
    if (haveLocal) {
        text->AssignNarrow(local.c_str());
    }
    return haveLocal;
}

bool FakeTablet::GatewayVersion(BmString* text) {
    if (haveGateway) {
        text->AssignNarrow(gateway.c_str());
    }
    return haveGateway;
}

bool FakeTablet::Download(StatusSink* sink) {
    ++downloads;
    (void)sink;
    return downloadOk;
}

bool FakeTablet::Launch(bool remote) {
    launches.push_back(remote);
    return launchOk;
}

void LauncherWindowTest::SetUp() {
    ASSERT_FALSE(dir_.Path().empty());
    root_ = dir_.File("root");
    const std::string run = dir_.File("run");
    mkdir(root_.c_str(), 0755);
    mkdir(run.c_str(), 0700);
    env_[0] = std::make_unique<EnvGuard>("QUILLON_UI", "headless");
    env_[1] = std::make_unique<EnvGuard>("QUILLON_RUNTIME_DIR", run);
    env_[2] = std::make_unique<EnvGuard>("QUILLON_ROOT", root_);
    env_[3] = std::make_unique<EnvGuard>("QUILLON_DISCOVERY", "127.255.255.255:9");
    ResetUiForTests();
    client_ = std::make_unique<BmServer>();
    launcher_ = std::make_unique<Launcher>(client_.get());
    launcher_->SetTabletOps(&tablet_);
    launcher_->Pacing().Reset(0);  // no pauses unless a test asks for them
    window_ = std::make_unique<QuillonWnd>(*launcher_);
    ASSERT_TRUE(window_->CreateMainWindow(SW_SHOW));
    ASSERT_EQ(LiveWindow(), window_.get());
    window_->Tray().LoadIcons();
    window_->Tray().Add(Handle(), false);
}

void LauncherWindowTest::TearDown() {
    if (window_ != nullptr) {
        window_->Tray().Remove();
    }
    window_.reset();
    launcher_.reset();
    client_.reset();
    ResetUiForTests();
}

std::vector<std::string> LauncherWindowTest::StatusLines() const {
    std::vector<std::string> lines;
    if (LiveWindow() == nullptr) {
        return lines;
    }
    for (int32_t i = 0; i < LiveWindow()->StatusLineCount(); ++i) {
        lines.push_back(TextOf(LiveWindow()->StatusLineAt(i)));
    }
    return lines;
}

int LauncherWindowTest::Pump(int limit) {
    int handled = 0;
    MSG msg{};
    while (handled < limit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
        ++handled;
        if (msg.message == WM_QUIT) {
            break;
        }
    }
    return handled;
}
