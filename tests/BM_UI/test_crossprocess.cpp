// Windows reached from other processes: FindWindowW + PostMessageW through the window's socket,
// stale sockets of killed processes, exact datagram sizes, control requests. The helper process
// is this test binary started again with BM_UI_HELPER set.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_UI/headless/headlessinput.h"
#include "COMMON/BM_UI/uistate.h"
#include "tests/BM_UI/uitestsupport.h"
#include "tests/support/peer_process.h"

namespace {
constexpr char16_t kClass[] = u"CQuillonWnd";
constexpr char16_t kTitle[] = u"ZenoLauncher: Tap Below for Options";

std::u16string Widen(const char* s) {
    std::u16string out;
    for (; s && *s; ++s) {
        out.push_back(static_cast<unsigned char>(*s));
    }
    return out;
}

// Helper modes, run before the tests when BM_UI_HELPER is set:
//   post:    FindWindowW(BM_UI_CLASS, BM_UI_TITLE), post WM_COMMAND BM_UI_WPARAM with lParam -5
//            (exit 0; 2 when not found; 3 when the post fails)
//   control: SendWindowControl with BM_UI_REQUEST (exit 0, or 3)
//   window:  create that window and wait to be killed
int RunHelper(const std::string& mode) {
    const std::u16string cls = Widen(std::getenv("BM_UI_CLASS"));
    const std::u16string title = Widen(std::getenv("BM_UI_TITLE"));
    if (mode == "post") {
        HWND hwnd = FindWindowW(cls.c_str(), title.c_str());
        if (!hwnd) {
            return 2;
        }
        return PostMessageW(hwnd, WM_COMMAND, std::strtoul(std::getenv("BM_UI_WPARAM"), nullptr, 10), -5) ? 0
                                                                                                          : 3;
    }
    if (mode == "control") {
        return SendWindowControl(cls.c_str(), title.c_str(), std::getenv("BM_UI_REQUEST")) ? 0 : 3;
    }
    if (mode == "window") {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.lpszClassName = cls.c_str();
        RegisterClassW(&wc);
        if (!CreateWindowExW(0, cls.c_str(), title.c_str(), WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                             nullptr)) {
            return 4;
        }
        for (int i = 0; i < 1000; ++i) {  // killed long before this ends
            usleep(10000);
        }
        return 5;
    }
    return 9;
}

const bool gHelperRan = [] {
    if (const char* mode = std::getenv("BM_UI_HELPER")) {
        _exit(RunHelper(mode));
    }
    return false;
}();

pid_t StartHelper(const std::string& mode, const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env = {"BM_UI_HELPER=" + mode, "BM_UI_CLASS=CQuillonWnd",
                                    "BM_UI_TITLE=ZenoLauncher: Tap Below for Options"};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    env = PeerProcess::EnvironmentWith(env);
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    pid_t pid = -1;
    return posix_spawn(&pid, self, nullptr, nullptr, argv, envp.data()) == 0 ? pid : -1;
}

// Waits (bounded) for the helper's exit code; -1 when it had to be killed.
int WaitHelper(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

int RunHelperToEnd(const std::string& mode, const std::vector<std::string>& extraEnv = {}) {
    const pid_t pid = StartHelper(mode, extraEnv);
    return pid > 0 ? WaitHelper(pid) : -1;
}

class CrossProcessTest : public UiTest {
protected:
    // Takes messages until one with `message` arrives (bounded), dispatching the rest.
    bool Await(UINT message, MSG* out, uint32_t ms = 2000) {
        const uint32_t start = GetTickCount();
        while (ElapsedSince(start) < ms) {
            MSG msg{};
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == message) {
                    *out = msg;
                    return true;
                }
                DispatchMessageW(&msg);
            }
            usleep(2000);
        }
        return false;
    }

    void SendRaw(HWND hwnd, const void* data, size_t size) {
        const std::string& path = LocalWindow(hwnd)->socketPath;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sendto(fd, data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        close(fd);
    }
};
}  // namespace

TEST_F(CrossProcessTest, MessagePostedFromAnotherProcessArrives) {
    HWND hwnd = MakeWindow(kClass, kTitle, WS_POPUP);
    ASSERT_NE(hwnd, nullptr);
    ASSERT_EQ(RunHelperToEnd("post", {"BM_UI_WPARAM=1132"}), 0);
    MSG msg{};
    ASSERT_TRUE(Await(WM_COMMAND, &msg));
    EXPECT_EQ(msg.hwnd, hwnd);
    EXPECT_EQ(msg.wParam, 1132u);
    EXPECT_EQ(msg.lParam, -5);
    DispatchMessageW(&msg);
    ASSERT_FALSE(ReceivedMessages().empty());
    EXPECT_EQ(ReceivedMessages().back().message, WM_COMMAND);

    DestroyWindow(hwnd);
    EXPECT_EQ(RunHelperToEnd("post", {"BM_UI_WPARAM=1132"}), 2) << "gone with its window";
}

TEST_F(CrossProcessTest, SocketOfAKilledProcessNeitherFindsNorBlocks) {
    const pid_t pid = StartHelper("window", {});
    ASSERT_GT(pid, 0);
    HWND remote = nullptr;
    for (int i = 0; i < 300 && !remote; ++i) {
        remote = FindWindowW(kClass, kTitle);
        usleep(10000);
    }
    ASSERT_NE(remote, nullptr);
    EXPECT_TRUE(IsWindow(remote));
    EXPECT_TRUE(PostMessageW(remote, WM_USER, 0, 0));
    kill(pid, SIGKILL);
    WaitHelper(pid);

    EXPECT_EQ(FindWindowW(kClass, kTitle), nullptr) << "the file stays, but nobody listens";
    EXPECT_FALSE(PostMessageW(remote, WM_USER, 0, 0));
    HWND mine = MakeWindow(kClass, kTitle, WS_POPUP);
    ASSERT_NE(mine, nullptr);
    ASSERT_GE(LocalWindow(mine)->socketFd, 0) << "the stale socket was replaced";
    ASSERT_EQ(RunHelperToEnd("post", {"BM_UI_WPARAM=77"}), 0);
    MSG msg{};
    ASSERT_TRUE(Await(WM_COMMAND, &msg));
    EXPECT_EQ(msg.wParam, 77u);
}

TEST_F(CrossProcessTest, OnlyExactDatagramsArePosted) {
    HWND hwnd = MakeWindow(kClass, kTitle, WS_POPUP);
    unsigned char good[24] = {'Q', 'W', 'M', '1'};
    const uint32_t message = WM_USER + 5;
    std::memcpy(good + 4, &message, 4);
    unsigned char big[5000] = {'Q', 'W', 'M', '1'};
    std::memcpy(big + 4, &message, 4);
    unsigned char badMagic[24];
    std::memcpy(badMagic, good, 24);
    badMagic[3] = '2';

    testing::internal::CaptureStderr();
    SendRaw(hwnd, good, 23);
    SendRaw(hwnd, big, 25);
    SendRaw(hwnd, big, sizeof big);
    SendRaw(hwnd, badMagic, 24);
    SendRaw(hwnd, "QUI1 ", 5);
    MSG msg{};
    EXPECT_FALSE(Await(WM_USER + 5, &msg, 100));
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("CONTROL: rejected a datagram of 23 bytes"), std::string::npos);
    EXPECT_NE(printed.find("oversized"), std::string::npos);
    SendRaw(hwnd, good, 24);
    EXPECT_TRUE(Await(WM_USER + 5, &msg, 500));
}

TEST_F(CrossProcessTest, ControlRequestsTapChooseAndSnapshot) {
    HWND hwnd = MakeWindow(kClass, kTitle, WS_POPUP);
    ASSERT_EQ(RunHelperToEnd("control", {"BM_UI_REQUEST=TAP 10 470"}), 0);
    MSG msg{};
    ASSERT_TRUE(Await(WM_LBUTTONDOWN, &msg));
    EXPECT_EQ(GET_X_LPARAM(msg.lParam), 10);
    EXPECT_EQ(GET_Y_LPARAM(msg.lParam), 470);
    ASSERT_TRUE(Await(WM_LBUTTONUP, &msg));

    ASSERT_TRUE(SendWindowControl(kClass, kTitle, "MENU text Dev Mode"));
    ASSERT_TRUE(SendWindowControl(kClass, kTitle, "MENU id 1130"));
    ASSERT_TRUE(SendWindowControl(kClass, kTitle, "MENU none"));
    const std::string png = runtimeDir_ + "/snap.png";
    ASSERT_TRUE(SendWindowControl(kClass, kTitle, "PNG " + png));
    Await(WM_NULL, &msg, 50);  // take the requests in
    struct stat st {};
    EXPECT_EQ(stat(png.c_str(), &st), 0);

    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 1134, u"Dev Mode");
    AppendMenuW(menu, MF_STRING, 1130, u"Exit");
    EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, hwnd, nullptr), 1134);
    EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, hwnd, nullptr), 1130);
    EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, hwnd, nullptr), 0);
    DestroyMenu(menu);

    testing::internal::CaptureStderr();
    for (const char* bad :
         {"TAP -1 5", "TAP 1", "TAP 40000 1", "TAP 1 2 3", "MENU id", "MENU id 12x", "MENU text",
          "MENU none x", "PNG relative.png", "TRAYTAP now", "FOO", "TAP 1\n2"}) {
        ASSERT_TRUE(SendWindowControl(kClass, kTitle, bad)) << bad;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the receiver's queue holds only a few datagrams
    }
    EXPECT_FALSE(Await(WM_LBUTTONDOWN, &msg, 100));
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed.find("CONTROL: TAP"), std::string::npos) << printed;
    EXPECT_EQ(HeadlessInput::Instance().PendingChoices(), 0u);
    EXPECT_FALSE(SendWindowControl(kClass, u"No such window", "TAP 1 1"));
    EXPECT_FALSE(SendWindowControl(kClass, kTitle, std::string(2000, 'A')));
}

TEST_F(CrossProcessTest, SocketIsPrivateSafelyNamedAndRemovedWithItsWindow) {
    HWND hwnd = MakeWindow(u"C/../x", u"../../etc/passwd\n", WS_POPUP);
    ASSERT_NE(hwnd, nullptr);
    const BmWindow* w = LocalWindow(hwnd);
    ASSERT_GE(w->socketFd, 0);
    EXPECT_EQ(w->socketPath.rfind(runtimeDir_ + "/w-", 0), 0u) << w->socketPath;
    EXPECT_EQ(w->socketPath.find('/', runtimeDir_.size() + 1), std::string::npos);
    EXPECT_TRUE(fcntl(w->socketFd, F_GETFD) & FD_CLOEXEC);
    const std::string path = w->socketPath;
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    DestroyWindow(hwnd);
    EXPECT_NE(lstat(path.c_str(), &st), 0);

    // A file of another kind in the socket's place is left alone; the window still works locally.
    HWND probe = MakeWindow(kClass, kTitle, WS_POPUP);
    const std::string taken = LocalWindow(probe)->socketPath;
    DestroyWindow(probe);
    FILE* f = std::fopen(taken.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    testing::internal::CaptureStderr();
    HWND local = MakeWindow(kClass, kTitle, WS_POPUP);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(local, nullptr);
    EXPECT_LT(LocalWindow(local)->socketFd, 0);
    EXPECT_EQ(lstat(taken.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(FindWindowW(kClass, kTitle), local);
}

TEST_F(CrossProcessTest, ABusyReceiverMakesPostsFailSoonInsteadOfBlocking) {
    int queueLength = 10;
    if (FILE* f = std::fopen("/proc/sys/net/unix/max_dgram_qlen", "r")) {
        if (std::fscanf(f, "%d", &queueLength) != 1) {
            queueLength = 10;
        }
        std::fclose(f);
    }
    if (queueLength > 200) {
        GTEST_SKIP() << "receive queues this long take too long to fill";
    }
    MakeWindow(kClass, kTitle, WS_POPUP);  // never pumped while the posts go out
    const auto start = std::chrono::steady_clock::now();
    int refused = 0;
    for (int i = 0; i < queueLength + 2; ++i) {
        refused += SendWindowControl(kClass, kTitle, "MENU none") ? 0 : 1;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GT(refused, 0) << "the receive queue holds only a few datagrams";
    EXPECT_LT(took, std::chrono::seconds(3)) << "each refused post waits a bounded time";
}
