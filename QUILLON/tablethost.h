// TabletHost: what the real tablet operations need from the launcher core that owns them.
#pragma once

#include <sys/types.h>

class BmServer;
class LauncherView;
class ReleaseKeeper;
class UpdateTrust;

class TabletHost {
public:
    virtual ~TabletHost() = default;
    // The gateway client (null when there is none).
    virtual BmServer* GatewayClient() = 0;
    // The viewer variant is in use.
    virtual bool DevMode() const = 0;
    // Where a download's progress is shown (null: nowhere).
    virtual LauncherView* View() = 0;
    // The application was started as child `pid`: its end is to be seen, and the checks wait
    // for it to take its mutex.
    virtual void TabletStarted(pid_t pid) = 0;
    // Which executables may be installed and started (null: all, unchecked).
    virtual UpdateTrust* Trust() { return nullptr; }
    // Keeps the previous version and the trial of a new one (null: safe updates off).
    virtual ReleaseKeeper* InstallReleases() { return nullptr; }
};
