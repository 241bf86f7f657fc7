// Adapter address choice and format, and the host's IPv4 addresses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "COMMON/BM_OS/adapterinfo.h"

namespace {
constexpr int kSkipped = 77;

std::string AsText(BmString text) {
    return text.NarrowText();
}

// In a network namespace of its own (so nothing touches the host's interfaces), adds a veth
// pair and reports "<adapter text>|<ipv4 addresses>" as the stand-ins see them. "" = skipped.
std::string ReportFromOwnNamespace(const char* setup) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return "";
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNET) != 0 || std::system(setup) != 0) {
            _exit(kSkipped);
        }
        std::string report = AsText(ReadAdapterAddressText()) + "|";
        for (const std::string& a : LocalIPv4Addresses()) {
            report += a + " ";
        }
        (void)!write(out[1], report.data(), report.size());
        _exit(0);
    }
    close(out[1]);
    std::string report;
    char buffer[256];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) {
        report.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? report : "";
}
}  // namespace

TEST(AdapterInfo, AddressIsSeventeenUpperCaseCharacters) {
    const uint8_t bytes[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    BmString text = FormatAdapterAddress(bytes);
    EXPECT_EQ(Wide, text.Form());
    EXPECT_EQ(17, text.Length());
    EXPECT_EQ("00-1A-2B-3C-4D-5E", AsText(text));
    const uint8_t high[6] = {0xFF, 0xAB, 0x01, 0x10, 0xC0, 0x0F};
    EXPECT_EQ("FF-AB-01-10-C0-0F", AsText(FormatAdapterAddress(high)));
}

TEST(AdapterInfo, FirstNonLoopbackSixByteAdapterIsChosen) {
    const std::vector<AdapterEntry> adapters = {
        {"lo", true, {0, 0, 0, 0, 0, 0}},
        {"tun0", false, {}},
        {"ib0", false, std::vector<uint8_t>(20, 0x11)},
        {"eth0", false, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
        {"wlan0", false, {0x02, 0x02, 0x02, 0x02, 0x02, 0x02}},
    };
    uint8_t chosen[6] = {};
    ASSERT_TRUE(ChooseAdapterAddress(adapters, chosen));
    EXPECT_EQ("00-1A-2B-3C-4D-5E", AsText(FormatAdapterAddress(chosen)));

    uint8_t untouched[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(ChooseAdapterAddress({adapters[0], adapters[1], adapters[2]}, untouched));
    EXPECT_FALSE(ChooseAdapterAddress({}, untouched));
    EXPECT_EQ(9, untouched[0]);
}

TEST(AdapterInfo, SystemAnswersAreWellFormed) {
    const std::vector<AdapterEntry> adapters = ListAdapters();
    for (const AdapterEntry& a : adapters) {
        EXPECT_FALSE(a.name.empty());
        if (a.name == "lo") {
            EXPECT_TRUE(a.loopback);
        }
    }
    const std::string text = AsText(ReadAdapterAddressText());
    uint8_t first[6];
    if (ChooseAdapterAddress(adapters, first)) {
        EXPECT_EQ(AsText(FormatAdapterAddress(first)), text);
        EXPECT_TRUE(std::regex_match(text, std::regex("([0-9A-F]{2}-){5}[0-9A-F]{2}"))) << text;
    } else {
        EXPECT_EQ("", text);
    }
    for (const std::string& address : LocalIPv4Addresses()) {
        in_addr parsed{};
        ASSERT_EQ(1, inet_pton(AF_INET, address.c_str(), &parsed)) << address;
        EXPECT_NE(127u, ntohl(parsed.s_addr) >> 24) << address;
    }
}

TEST(AdapterInfo, KernelOrderDecidesInARealNamespace) {
    // v1 is made first by the kernel, so it comes before v0 in the interface list.
    const std::string report = ReportFromOwnNamespace(
        "ip link add v0 address 00:1a:2b:3c:4d:5e type veth peer name v1 address 02:00:00:00:00:01 "
        "&& ip addr add 10.9.8.7/24 dev v0 && ip link set lo up && ip link set v0 up 2>/dev/null");
    if (report.empty()) {
        GTEST_SKIP() << "no network namespace available";
    }
    EXPECT_EQ("02-00-00-00-00-01|10.9.8.7 ", report);

    const std::string loopbackOnly = ReportFromOwnNamespace("ip link set lo up");
    if (!loopbackOnly.empty()) {
        EXPECT_EQ("|", loopbackOnly);
    }
}
