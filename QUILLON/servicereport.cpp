#include "QUILLON/servicereport.h"

#include <unistd.h>

#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/waittick.h"
#include "QUILLON/statusecho.h"

namespace {
// A long wait that works as designed: the watchdog fed, and what --status says kept fresh.
void FeedFromLongWait() {
    Service().LoopProgress(GetTickCount());
    Service().Refresh();
}
}  // namespace

ServiceReport& Service() {
    static ServiceReport report;
    return report;
}

void ServiceReport::Begin(const std::string& runtimeDir) {
    if (begun_) {
        return;
    }
    begun_ = true;
    notifier_ = SdNotifier::FromEnvironment(true);
    facts_.launcherPid = static_cast<long>(getpid());
    server_.Update(facts_);
    if (!server_.Start(runtimeDir)) {
        EchoDiagnosticLine("quillon: no status for --status (" + server_.Problem() + ")");
    }
    SetWaitTick(&FeedFromLongWait);
}

void ServiceReport::End() {
    if (!begun_) {
        return;
    }
    SetWaitTick(nullptr);
    gatherer_ = nullptr;
    server_.Stop();
    notifier_.Send("STOPPING=1");
    begun_ = false;
}

void ServiceReport::Ready() {
    notifier_.Ready();
}

void ServiceReport::SetActivity(const std::string& activity) {
    if (activity == facts_.activity) {
        return;
    }
    facts_.activity = activity;
    Refresh();
}

void ServiceReport::Refresh() {
    if (gatherer_) {
        const std::string activity = facts_.activity;
        facts_ = gatherer_();
        facts_.activity = activity;
        facts_.launcherPid = static_cast<long>(getpid());
    }
    server_.Update(facts_);
    notifier_.Status(StatusSummary(facts_));
}
