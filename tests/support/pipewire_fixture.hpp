#pragma once
// The base of every PipeWire suite: a private daemon, either one per test or one a suite shares.

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/pipewire_daemon.hpp"

namespace pellimar::testing {

class PrivatePipeWireTest : public ::testing::Test {
  protected:
    // For a suite whose tests share one daemon, from its SetUpTestSuite; whether the daemon
    // answers. Without PipeWire installed there is none, and each test skips or fails.
    static bool startSharedDaemon() {
        if (!PipeWireDaemon::installed()) {
            return false;
        }
        daemon_ = std::make_unique<PipeWireDaemon>();
        shared_ = true;
        return daemon_->error().empty();
    }
    static void TearDownTestSuite() {
        daemon_.reset();
        shared_ = false;
    }

    // Skips or fails without PipeWire, starts the test's own daemon unless the suite shares one,
    // then hands over to the suite's own set-up.
    void SetUp() final {
        PELLIMAR_REQUIRE_PIPEWIRE();
        if (!shared_) {
            daemon_ = std::make_unique<PipeWireDaemon>();
        }
        ASSERT_EQ(daemon_->error(), "");
        SetUpWithDaemon();
    }
    virtual void SetUpWithDaemon() {}
    void TearDown() override {
        if (!shared_) {
            daemon_.reset();
        }
    }

    // Speakers that the session manager picks by itself, as on a desktop: a stereo sink of high
    // priority named "speakers".
    static bool addDesktopSpeakers() {
        return PipeWireDaemon::run(
            "pw-cli create-node adapter '{ factory.name = support.null-audio-sink "
            "node.name = speakers node.description = Speakers media.class = Audio/Sink "
            "object.linger = true audio.channels = 2 audio.position = [ FL FR ] "
            "priority.session = 1000 session.suspend-timeout-seconds = 0 }' >/dev/null");
    }
    // Stereo speakers named "speakers" that the user chose as the default output.
    static bool addChosenSpeakers() {
        return PipeWireDaemon::createNullNode("speakers", "Speakers", "Audio/Sink", 2) &&
               PipeWireDaemon::run(
                   "pw-metadata -n default 0 default.configured.audio.sink "
                   "'{ \"name\": \"speakers\" }' Spa:String:JSON >/dev/null");
    }

    static inline std::unique_ptr<PipeWireDaemon> daemon_;

  private:
    static inline bool shared_ = false;
};

}  // namespace pellimar::testing
