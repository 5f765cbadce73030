#pragma once
// Stands in for the capture program's announcement slot: once a process of `pid` has connected to
// the daemon, a slot tap that lists it. Nobody moves the process's streams, so they stay where
// the session manager put them (the default sink), and tests that judge their sound do not
// depend on a stream being moved while it plays.

#include <pipewire/pipewire.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/pipewire/graph.hpp"
#include "tests/support/pipewire_daemon.hpp"

namespace pellimar::testing {

class SlotTapFor {
  public:
    SlotTapFor(audio::pipewire::Graph& graph, pid_t pid, std::string name)
        : graph_(graph), name_(std::move(name)), thread_([this, pid] { run(pid); }) {}
    ~SlotTapFor() {
        stop_ = true;
        thread_.join();
        PipeWireDaemon::destroyNode(name_);
    }
    SlotTapFor(const SlotTapFor&) = delete;
    SlotTapFor& operator=(const SlotTapFor&) = delete;

  private:
    // The process's ID: the serial of its first client.
    std::uint64_t processOf(pid_t pid) {
        std::lock_guard guard(graph_.mutex());
        for (const auto& [serial, client] : graph_.state().clients) {
            for (const char* key : {PW_KEY_APP_PROCESS_ID, PW_KEY_SEC_PID}) {
                const auto it = client.props.find(key);
                if (it != client.props.end() && it->second == std::to_string(pid)) {
                    return serial;
                }
            }
        }
        return 0;
    }

    void run(pid_t pid) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        std::uint64_t process = 0;
        while (!stop_ && !(process = processOf(pid)) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!process) {
            return;
        }
        const std::string description =
            R"({"exclusive":false,"mixdown":true,"mono":false,"muteBehavior":0,)"
            R"("name":"Pellimar application slot 1","private":false,"processes":[)" +
            std::to_string(process) + "]}";
        pw_properties* props = pw_properties_new(
            "factory.name", "support.null-audio-sink", PW_KEY_NODE_NAME, name_.c_str(),
            PW_KEY_MEDIA_CLASS, "Audio/Tap", PW_KEY_OBJECT_LINGER, "true", "audio.position",
            "[ FL FR ]", "pellimar.tap.description", description.c_str(), nullptr);
        pw_thread_loop_lock(graph_.loop());
        auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
            graph_.core(), "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &props->dict, 0));
        pw_thread_loop_unlock(graph_.loop());
        pw_properties_free(props);
        // Lingering: the node stays once our proxy goes; destroyNode removes it.
        PipeWireDaemon::waitFor(
            [&] { return PipeWireDaemon::run("pw-cli ls Node | grep -q '" + name_ + "'"); });
        pw_thread_loop_lock(graph_.loop());
        if (proxy) {
            pw_proxy_destroy(proxy);
        }
        pw_thread_loop_unlock(graph_.loop());
    }

    audio::pipewire::Graph& graph_;
    std::string name_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace pellimar::testing
