// In-process fixture for the launcher's window: the headless backend, a private runtime folder
// and device root, an unstarted gateway client, the launcher core over it with a fake tablet,
// and the main window created and shown.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_UI/winapi.h"
#include "QUILLON/launcher.h"
#include "QUILLON/mainwnd.h"
#include "QUILLON/tabletops.h"
#include "tests/QUILLON/support_launcher.h"

// Tablet application operations with scripted answers; records what was asked.
class FakeTablet : public TabletOps {
public:
    bool running = false;
    bool haveLocal = false;
    std::string local = "1.0.0.0";
    bool haveGateway = false;
    std::string gateway = "1.0.0.0";
    bool downloadOk = true;
    bool launchOk = true;
    std::string downloadError = "/root/TORVIX.EXE.download: No space left on device";
    int downloads = 0;
    std::vector<bool> launches;  // the remote flag of each launch

    bool IsRunning() override { return running; }
    bool LocalVersion(BmString* text) override;
    bool GatewayVersion(BmString* text) override;
    bool Download(StatusSink* sink) override;
    std::string DownloadError() override { return downloadOk ? "" : downloadError; }
    bool Launch(bool remote) override;
};

class LauncherWindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QuillonWnd& Window() { return *window_; }
    Launcher& Core() { return *launcher_; }
    BmServer& Client() { return *client_; }
    HWND Handle() const { return QuillonWnd::GetWindowHandle(); }
    // The status lines in the window's log, oldest first, as UTF-8 (8-bit) text.
    std::vector<std::string> StatusLines() const;
    // Dispatches queued messages (not more than `limit`); the number handled.
    int Pump(int limit = 20);
    const std::string& Root() const { return root_; }

    FakeTablet tablet_;

private:
    ScratchDir dir_;
    std::string root_;
    std::unique_ptr<EnvGuard> env_[4];
    std::unique_ptr<BmServer> client_;
    std::unique_ptr<Launcher> launcher_;
    std::unique_ptr<QuillonWnd> window_;
};

// Text of a BmString as 8-bit text.
std::string TextOf(BmString text);
