// A process's application identity from /proc, without a daemon: the parsers on recorded text,
// then real processes given each identity.

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "platform/pipewire/identity.hpp"
#include "tests/support/pipewire_daemon.hpp"
#include "tests/support/process_identity.hpp"

namespace pellimar::audio::pipewire {
namespace {

using namespace std::string_literals;
using testing::AppCgroup;
using testing::FlatpakRoot;
using testing::PipeWireDaemon;
using testing::TempDir;

TEST(IdentityParsing, FlatpakInfoNamesTheApplicationOnlyInItsApplicationGroup) {
    EXPECT_EQ(flatpakAppID("[Application]\nname=org.mozilla.firefox\nruntime=runtime/x\n"
                           "\n[Instance]\nname=other\n"),
              "org.mozilla.firefox");
    EXPECT_EQ(flatpakAppID("[Instance]\nname=other\n[Application]\n# c\nname = org.x.Y \n"),
              "org.x.Y");
    EXPECT_EQ(flatpakAppID("[Instance]\nname=other\n"), "");
    EXPECT_EQ(flatpakAppID(""), "");
}

TEST(IdentityParsing, DesktopUnitNamesGiveTheApplicationIDWithEscapesUndone) {
    EXPECT_EQ(unitAppID("app-gnome-org.example.Tone-1234.scope"), "org.example.Tone");
    EXPECT_EQ(unitAppID("app-gnome-firefox\\x2desr-2345.scope"), "firefox-esr");
    EXPECT_EQ(unitAppID("app-flatpak-org.mozilla.firefox-12345.scope"), "org.mozilla.firefox");
    EXPECT_EQ(unitAppID("app-org.kde.dolphin-1234.scope"), "org.kde.dolphin");  // no launcher
    EXPECT_EQ(unitAppID("app-gnome-org.gnome.Evince@a1b2.service"), "org.gnome.Evince");
    EXPECT_EQ(unitAppID("app-org.gnome.Evince.service"), "org.gnome.Evince");
    EXPECT_EQ(unitAppID("app-kde-vlc\\x40x.service"), "vlc@x");
    for (const char* notAnApp :
         {"session-2.scope", "user@1000.service", "app.slice", "init.scope", "vte-spawn-1a2b.scope",
          "app-x.scope", "app-a-b-c-d-1.scope", "app--x-1.scope", "app-gnome-x-.scope",
          "app-gnome-x-1.slice", "app-gnome-x-1"}) {
        EXPECT_EQ(unitAppID(notAnApp), "") << notAnApp;
    }
    EXPECT_EQ(unescapeUnitName("a\\x2db\\x2Fc\\x2"), "a-b/c\\x2");
}

TEST(IdentityParsing, CgroupFileGivesTheUnitTheProcessRunsInDirectly) {
    const std::string unified =
        "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
        "app-gnome-firefox\\x2desr-2345.scope\n";
    EXPECT_EQ(cgroupAppID(unified), "firefox-esr");
    // A hybrid machine names units in systemd's own hierarchy too.
    EXPECT_EQ(cgroupAppID("12:memory:/\n1:name=systemd:/user.slice/app-gnome-vlc-9.scope\n0::/\n"),
              "vlc");
    EXPECT_EQ(cgroupAppID("1:name=systemd:/user.slice/app-gnome-vlc-9.scope\n"
                          "0::/user.slice/app-gnome-org.videolan.VLC-9.scope\n"),
              "org.videolan.VLC");
    EXPECT_EQ(cgroupAppID("0::/user.slice/user-1000.slice/session-2.scope\n"), "");
    EXPECT_EQ(cgroupAppID("0::/app.slice/app-gnome-x-1.scope/nested\n"), "");
    EXPECT_EQ(cgroupAppID("garbage"), "");
}

TEST(IdentityParsing, LaunchedDesktopFileCountsOnlyForTheLaunchedProcess) {
    const std::string env =
        "HOME=/root\0GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/org.videolan.VLC.desktop\0"
        "GIO_LAUNCHED_DESKTOP_FILE_PID=4242\0"s;
    EXPECT_EQ(desktopID(env, 4242), "org.videolan.VLC");
    EXPECT_EQ(desktopID(env, 4243), "");  // a child of the launched program
    EXPECT_EQ(desktopID("GIO_LAUNCHED_DESKTOP_FILE=/a/vlc.desktop\0"s, 1), "vlc");
    EXPECT_EQ(desktopID("GIO_LAUNCHED_DESKTOP_FILE=/a/vlc\0"s, 1), "");
    EXPECT_EQ(desktopID("GIO_LAUNCHED_DESKTOP_FILE=/a/.desktop"s, 1), "");
    EXPECT_EQ(desktopID("XGIO_LAUNCHED_DESKTOP_FILE=/a/vlc.desktop\0"s, 1), "");
}

TEST(IdentityParsing, ProgramNameIsArgvZeroWithoutItsDirectory) {
    EXPECT_EQ(programName("/usr/bin/paplay\0tone.wav\0"s), "paplay");
    EXPECT_EQ(programName("pw-play\0"s), "pw-play");
    EXPECT_EQ(programName("/opt/Some Game/game.x86_64\0-w\0"s), "game.x86_64");
    EXPECT_EQ(programName("sshd: root@pts/0"s), "");  // a rewritten title
    EXPECT_EQ(programName(""), "");
}

TEST(IdentityParsing, SourcesAreTakenMostSpecificFirst) {
    ProcFacts proc{"org.flat.App", "org.unit.App", "org.desktop.App", "argv0", "exe"};
    GraphFacts graph{"org.portal.App", "org.client.App", "exe"};
    EXPECT_EQ(chooseBundleID(graph, proc), "org.portal.App");
    graph.portalAppID.clear();
    EXPECT_EQ(chooseBundleID(graph, proc), "org.flat.App");
    proc.flatpakAppID.clear();
    EXPECT_EQ(chooseBundleID(graph, proc), "org.client.App");
    graph.applicationID.clear();
    EXPECT_EQ(chooseBundleID(graph, proc), "org.unit.App");
    proc.unitAppID.clear();
    EXPECT_EQ(chooseBundleID(graph, proc), "org.desktop.App");
    proc.desktopID.clear();
    EXPECT_EQ(chooseBundleID(graph, proc), "argv0");
    proc.programName.clear();
    EXPECT_EQ(chooseBundleID(graph, proc), "exe");
    EXPECT_EQ(chooseBundleID({}, {}), "");
}

TEST(IdentityParsing, ProcFilesOfAnotherProcessThanTheClientAreIgnored) {
    // A client in another pid namespace gives a pid that is some other process here.
    const ProcFacts other{"", "org.unit.Other", "", "init", "systemd"};
    EXPECT_EQ(chooseBundleID({"", "", "firefox-esr"}, other), "firefox-esr");
    EXPECT_EQ(chooseBundleID({"", "", "systemd"}, other), "org.unit.Other");
    EXPECT_EQ(chooseBundleID({}, other), "org.unit.Other");
}

// Real processes: a sleeping program started the way a desktop or sandbox starts applications.
// (The PipeWire test starts audio clients the same ways, with their environment and argv[0].)
class IdentityOfRealProcesses : public ::testing::Test {
  protected:
    pid_t start(const std::vector<std::string>& argv) {
        pid_t pid = PipeWireDaemon::spawn(argv, dir_.file("child.log"));
        children_.push_back(pid);
        return pid;
    }
    // Waits until `program` is exec'd (behind a shell, say) and its arguments are in place:
    // during an exec the new executable shows before its command line does.
    static bool execd(pid_t pid, const std::string& program) {
        return PipeWireDaemon::waitFor([&] {
            const ProcFacts facts = readProcFacts(pid);
            return facts.executable == program && !facts.programName.empty();
        });
    }
    void reap(pid_t pid) {
        for (pid_t& child : children_) {
            if (child == pid) {
                PipeWireDaemon::signalAndReap(child, SIGKILL);
            }
        }
    }
    void TearDown() override {
        for (pid_t& pid : children_) {
            PipeWireDaemon::signalAndReap(pid, SIGKILL);
        }
    }

    TempDir dir_;
    std::vector<pid_t> children_;
};

TEST_F(IdentityOfRealProcesses, FlatpakInfoIsReadInTheProcesssOwnRoot) {
    FlatpakRoot root("org.example.Flat");
    if (!root.error().empty()) {
        GTEST_SKIP() << root.error();
    }
    const pid_t pid = start(root.wrap({"/bin/sleep", "30"}));
    ASSERT_TRUE(execd(pid, "sleep"));
    EXPECT_EQ(readProcFacts(pid).flatpakAppID, "org.example.Flat");
    // Our own root has none.
    EXPECT_EQ(readProcFacts(::getpid()).flatpakAppID, "");
}

TEST_F(IdentityOfRealProcesses, AppScopeIsReadFromTheCgroupAndCachedUntilForgotten) {
    AppCgroup scope("app-gnome-org.example.Scoped\\x2dTone-" + std::to_string(::getpid()) +
                    ".scope");
    if (!scope.error().empty()) {
        GTEST_SKIP() << scope.error();
    }
    AppCgroup other("app-gnome-org.example.Moved-" + std::to_string(::getpid()) + ".scope");
    ASSERT_EQ(other.error(), "");
    const pid_t pid = start({"/bin/sh", "-c", scope.enter() + "exec /bin/sleep 30"});
    ASSERT_TRUE(execd(pid, "sleep"));

    IdentityCache cache;
    EXPECT_EQ(cache.facts(pid).unitAppID, "org.example.Scoped-Tone");
    EXPECT_EQ(cache.facts(pid).programName, "sleep");
    // Facts are read once per pid: a later move is seen only after the pid was forgotten.
    std::ofstream(other.procs()) << pid << "\n";
    ASSERT_EQ(readProcFacts(pid).unitAppID, "org.example.Moved");
    EXPECT_EQ(cache.facts(pid).unitAppID, "org.example.Scoped-Tone");
    cache.keepOnly({pid + 1});
    EXPECT_EQ(cache.size(), 0u);
    EXPECT_EQ(cache.facts(pid).unitAppID, "org.example.Moved");
}

TEST_F(IdentityOfRealProcesses, AVanishedOrMissingProcessHasNoFacts) {
    const pid_t gone = start({"/bin/true"});
    reap(gone);
    for (pid_t p : {gone, pid_t(0), pid_t(-5)}) {
        const ProcFacts facts = readProcFacts(p);
        EXPECT_EQ(chooseBundleID({}, facts), "") << p;
    }
}

}  // namespace
}  // namespace pellimar::audio::pipewire
