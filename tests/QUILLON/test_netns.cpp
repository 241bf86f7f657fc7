// The launcher with its default discovery target, 255.255.255.255 port 444, inside a network
// namespace of this test's own, and the gateway peer inside a second one, joined by a veth pair
// with private addresses, with a route for the limited broadcast or with no route at all (a LAN
// without a default route). Nothing leaves the two namespaces; both are removed afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "tests/QUILLON/support_launcher.h"

namespace {
constexpr int kStepMs = 15000;
const char* const kIpCandidates[] = {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"};

std::string FindIp() {
    for (const char* path : kIpCandidates) {
        if (access(path, X_OK) == 0) {
            return path;
        }
    }
    return {};
}

// Two namespaces and the veth pair between them, made at construction, removed at destruction.
class NamespacePair {
public:
    NamespacePair(const std::string& ip, const std::string& tag, bool broadcastRoute)
        : ip_(ip), launcherNs_("qlaunch" + tag), gatewayNs_("qgate" + tag) {
        const std::string a = "qva" + tag;
        const std::string b = "qvb" + tag;
        madeLauncher_ = Ip({"netns", "add", launcherNs_});
        madeGateway_ = madeLauncher_ && Ip({"netns", "add", gatewayNs_});
        // The pair is created inside the namespaces: it never exists on the host's side.
        ok_ = madeGateway_ &&
              Ip({"-n", launcherNs_, "link", "add", a, "type", "veth", "peer", "name", b, "netns",
                  gatewayNs_}) &&
              Ip({"-n", launcherNs_, "addr", "add", std::string(kLauncherAddress) + "/24", "dev", a}) &&
              Ip({"-n", gatewayNs_, "addr", "add", std::string(kGatewayAddress) + "/24", "dev", b}) &&
              Ip({"-n", launcherNs_, "link", "set", "lo", "up"}) &&
              Ip({"-n", gatewayNs_, "link", "set", "lo", "up"}) &&
              Ip({"-n", launcherNs_, "link", "set", a, "up"}) &&
              Ip({"-n", gatewayNs_, "link", "set", b, "up"}) &&
              // The route for the limited broadcast leads only to the other namespace.
              (!broadcastRoute || Ip({"-n", launcherNs_, "route", "add", "255.255.255.255/32", "dev", a}));
    }
    ~NamespacePair() {
        if (madeGateway_) {
            Ip({"netns", "del", gatewayNs_});
        }
        if (madeLauncher_) {
            Ip({"netns", "del", launcherNs_});
        }
    }
    NamespacePair(const NamespacePair&) = delete;
    NamespacePair& operator=(const NamespacePair&) = delete;

    bool Ok() const { return ok_; }
    bool Made() const { return madeLauncher_; }
    // argv that runs `program` inside the launcher's (or the gateway's) namespace.
    std::vector<std::string> InLauncherNs(const std::string& program) const {
        return {"netns", "exec", launcherNs_, program};
    }
    std::vector<std::string> InGatewayNs(const std::string& program) const {
        return {"netns", "exec", gatewayNs_, program};
    }

    static constexpr const char* kLauncherAddress = "10.213.7.1";
    static constexpr const char* kGatewayAddress = "10.213.7.2";

private:
    bool Ip(std::vector<std::string> args) const {
        args.insert(args.begin(), ip_);
        return RunToEnd(args) == 0;
    }

    std::string ip_;
    std::string launcherNs_;
    std::string gatewayNs_;
    bool madeLauncher_ = false;
    bool madeGateway_ = false;
    bool ok_ = false;
};

TEST(LauncherInNamespaces, FindsTheGatewayWithTheDefaultBroadcast) {
    const std::string ip = FindIp();
    if (geteuid() != 0 || ip.empty()) {
        GTEST_SKIP() << "network namespaces need root and the ip command (iproute2); skipped";
    }
    struct Case {
        bool broadcastRoute;
        size_t unreachableReports;  // the limited broadcast's failure, said once
    };
    const Case cases[] = {{true, 0}, {false, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.broadcastRoute ? "route for 255.255.255.255" : "no route at all");
        const std::string tag = std::to_string(getpid() % 100000) + (c.broadcastRoute ? "r" : "n");
        LauncherWorld world;
        ASSERT_TRUE(world.Ready());
        ASSERT_TRUE(world.Publish("1.0.0.1"));
        NamespacePair namespaces(ip, tag, c.broadcastRoute);
        if (!namespaces.Made()) {
            GTEST_SKIP() << "cannot create network namespaces here (ip netns add failed); skipped";
        }
        ASSERT_TRUE(namespaces.Ok()) << "the veth pair or its addresses could not be set up";

        // The gateway peer on the default discovery port, answering pings from its neighbour.
        PeerProcess gateway;
        std::vector<std::string> gatewayArgs = namespaces.InGatewayNs(GATEWAY_SIM_BIN);
        const std::vector<std::string> peerOptions = {"--name",
                                                      "NETNS",
                                                      "--discovery-port",
                                                      "444",
                                                      "--any-source",
                                                      "--listen-address",
                                                      NamespacePair::kGatewayAddress,
                                                      "--announce-address",
                                                      NamespacePair::kGatewayAddress,
                                                      "--version",
                                                      "1.0.0.1",
                                                      "--file",
                                                      world.ServedFile(),
                                                      "--max-seconds",
                                                      "60"};
        gatewayArgs.insert(gatewayArgs.end(), peerOptions.begin(), peerOptions.end());
        PeerProcess::Options gatewayRun;
        gatewayRun.args = gatewayArgs;
        gatewayRun.unsetEnv = {"QUILLON_DISCOVERY"};
        ASSERT_TRUE(gateway.Start(ip, gatewayRun));
        ASSERT_GT(gateway.ListenPort(), 0) << gateway.Transcript();

        // The launcher without QUILLON_DISCOVERY: 255.255.255.255:444, inside its namespace only.
        PeerProcess::Options run;
        run.args = namespaces.InLauncherNs(QUILLON_BIN);
        run.args.push_back("/NAME:NETNS");
        run.mergeStderr = true;
        run.env = world.LauncherEnvironment();
        std::erase_if(run.env, [](const std::string& e) { return e.rfind("QUILLON_DISCOVERY=", 0) == 0; });
        run.unsetEnv = {"QUILLON_DISCOVERY", "DISPLAY"};
        ASSERT_TRUE(world.StartLauncherWith(ip, run));

        auto installed =
            world.WaitSequence({"Quillon Startup", "Connected to gateway.", "No local version: loading...",
                                "Download Sucess", "TORVIX.EXE Started OK"},
                               kStepMs);
        ASSERT_TRUE(installed) << world.Transcript() << gateway.Transcript();
        auto ping = gateway.WaitForLine("PING from ", 1000);
        ASSERT_TRUE(ping);
        EXPECT_NE(ping->find(std::string("from ") + NamespacePair::kLauncherAddress + ":"), std::string::npos)
            << *ping;
        EXPECT_TRUE(gateway.WaitForLine("HELLO ", 1000));
        EXPECT_TRUE(gateway.WaitForLine("DOWNLOAD_REQUEST", 1000));
        EXPECT_EQ(
            world.Launcher().CountLines("discovery: ping to 255.255.255.255 failed (Network is unreachable)"),
            c.unreachableReports)
            << world.Transcript();

        world.Launcher().Stop();
        gateway.Stop();
        world.StopTabletApps();
    }
}
}  // namespace
