#include "QUILLON/servicereport.h"

#include <unistd.h>

#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/waittick.h"
#include "QUILLON/statusecho.h"

namespace {
void FeedFromLongWait() {
    Service().LoopProgress(GetTickCount());
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
    server_.Stop();
    notifier_.Send("STOPPING=1");
    begun_ = false;
}

void ServiceReport::Ready() {
    notifier_.Ready();
}

void ServiceReport::Publish(const StatusSnapshot& facts) {
    const std::string activity = facts_.activity;
    facts_ = facts;
    facts_.activity = activity;
    facts_.launcherPid = static_cast<long>(getpid());
    Refresh();
}

void ServiceReport::SetActivity(const std::string& activity) {
    if (activity == facts_.activity) {
        return;
    }
    facts_.activity = activity;
    Refresh();
}

void ServiceReport::Refresh() {
    server_.Update(facts_);
    notifier_.Status(StatusSummary(facts_));
}
