// One audio system used from several threads at once, with listeners on a loop thread.

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"
#include "tests/platform/audio_system/temp_world.hpp"

namespace pellimar::audio {
namespace {

TEST(SimThreads, ConcurrentCallsAndListenerDelivery) {
    testing::TempDir dir;
    auto system = sim::SimAudioSystem::open(dir.world()).value();
    asio::io_context loop;
    auto work = asio::make_work_guard(loop);
    std::atomic<int> tapListCalls{0};
    ListenerID id = 0;
    ASSERT_EQ(
        system->addPropertyListener(
            1, {kAudioHardwarePropertyTapList}, loop,
            [&](ObjectID, const std::vector<AudioObjectPropertyAddress>&) { ++tapListCalls; }, id),
        0);
    std::thread loopThread([&] { loop.run(); });

    auto registration = system->registerProcess("org.pellimar.player.4");
    ASSERT_TRUE(registration);
    std::vector<std::thread> workers;
    for (int t = 0; t < 2; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                ObjectID tap = 0;
                EXPECT_EQ(system->createProcessTap(TapDescription{}, tap), 0);
            }
        });
    }
    workers.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            std::uint32_t size = 0;
            EXPECT_EQ(
                system->getPropertyDataSize(1, {kAudioHardwarePropertyTapList}, 0, nullptr, size),
                0);
        }
    });
    workers.emplace_back([&] {
        for (int i = 0; i < 20; ++i) {
            (*registration)->setRunning(i % 2 == 0);
        }
    });
    for (auto& w : workers) {
        w.join();
    }
    std::uint32_t size = 0;
    ASSERT_EQ(system->getPropertyDataSize(1, {kAudioHardwarePropertyTapList}, 0, nullptr, size), 0);
    EXPECT_EQ(size, 100u * 4);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (tapListCalls == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GT(tapListCalls.load(), 0);
    EXPECT_EQ(system->removePropertyListener(id), 0);
    work.reset();
    loop.stop();
    loopThread.join();
    registration->reset();
}

}  // namespace
}  // namespace pellimar::audio
