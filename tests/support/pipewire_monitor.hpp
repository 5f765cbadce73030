#pragma once
// Records a sink's monitor in-process, on a realtime data thread into memory prepared ahead, so
// that a loaded machine does not lose what the sink played (a recorder writing its file from the
// main loop, like pw-record, dropped whole quanta here).

#include <pipewire/pipewire.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/pipewire/graph.hpp"

namespace pellimar::testing {

class MonitorRecorder {
  public:
    // Interleaved stereo 32-bit float at 48 kHz, at most `seconds` of it. With `auxSource` the
    // target is a source whose first two channels are AUX0 and AUX1 (a capture device), recorded
    // as they are instead of remixed.
    MonitorRecorder(audio::pipewire::Graph& graph, const std::string& sink, double seconds,
                    bool auxSource = false)
        : graph_(graph), samples_(std::size_t(seconds * 48000) * 2) {
        static const pw_stream_events kEvents = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.process = [](void* data) { static_cast<MonitorRecorder*>(data)->process(); };
            e.io_changed = [](void* data, std::uint32_t id, void* area, std::uint32_t) {
                if (id == SPA_IO_Position) {
                    static_cast<MonitorRecorder*>(data)->position_ =
                        static_cast<spa_io_position*>(area);
                }
            };
            return e;
        }();
        pw_thread_loop_lock(graph_.loop());
        stream_ = pw_stream_new(
            graph_.core(), "test-monitor-recorder",
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                              PW_KEY_TARGET_OBJECT, sink.c_str(), PW_KEY_STREAM_CAPTURE_SINK,
                              auxSource ? "false" : "true", nullptr));
        pw_stream_add_listener(stream_, &listener_, &kEvents, this);
        std::uint8_t buffer[512];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = 48000;
        info.channels = 2;
        info.position[0] = auxSource ? SPA_AUDIO_CHANNEL_AUX0 : SPA_AUDIO_CHANNEL_FL;
        info.position[1] = auxSource ? SPA_AUDIO_CHANNEL_AUX1 : SPA_AUDIO_CHANNEL_FR;
        const spa_pod* params[1] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        pw_stream_connect(
            stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                         PW_STREAM_FLAG_RT_PROCESS),
            params, 1);
        pw_thread_loop_unlock(graph_.loop());
    }

    ~MonitorRecorder() { stop(); }
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    // Whether the graph has delivered anything yet (the recorder is linked and running).
    bool running() const { return cycles_.load() > 0; }

    // The quantum (frames) and rate the graph runs at, as its clock says; 0 before the first cycle.
    std::uint64_t graphQuantum() const { return quantum_.load(); }
    std::uint32_t graphRate() const { return rate_.load(); }

    // The steady-clock time of the first sound heard after arm(), or 0: the time of the cycle that
    // carried it plus the sound's place in that cycle. Arming again forgets the last one.
    void arm() {
        firstSoundNs_ = 0;
        armed_ = true;
    }
    std::int64_t firstSoundNs() const { return firstSoundNs_.load(); }

    // Ends the recording and returns it.
    std::vector<float> stop() {
        if (stream_) {
            pw_thread_loop_lock(graph_.loop());
            spa_hook_remove(&listener_);
            pw_stream_destroy(stream_);  // the data thread has left process() once this returns
            stream_ = nullptr;
            pw_thread_loop_unlock(graph_.loop());
        }
        std::vector<float> out(samples_.begin(),
                               samples_.begin() + std::ptrdiff_t(written_.load()));
        return out;
    }

  private:
    void process() {
        pw_buffer* b = pw_stream_dequeue_buffer(stream_);
        if (!b) {
            return;
        }
        const spa_data& d = b->buffer->datas[0];
        const auto* data = static_cast<const float*>(d.data);
        if (const spa_io_position* position = position_.load()) {
            quantum_ = position->clock.duration;
            rate_ = position->clock.rate.denom;
        }
        ++cycles_;
        if (data && d.chunk) {
            const std::size_t count =
                std::min<std::size_t>(d.chunk->size / sizeof(float), samples_.size() - written_);
            const float* from = data + d.chunk->offset / sizeof(float);
            std::memcpy(samples_.data() + written_, from, count * sizeof(float));
            if (armed_ && firstSoundNs_ == 0) {
                // The whole cycle, also once the recording is full.
                for (std::size_t i = 0; i < d.chunk->size / sizeof(float); ++i) {
                    if (std::fabs(from[i]) > 1e-4f) {
                        firstSoundNs_ =
                            std::chrono::steady_clock::now().time_since_epoch().count() +
                            std::int64_t(i / 2) * 1000000000 / 48000;
                        break;
                    }
                }
            }
            written_ += count;
        }
        pw_stream_queue_buffer(stream_, b);
    }

    audio::pipewire::Graph& graph_;
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};
    std::vector<float> samples_;
    std::atomic<std::size_t> written_{0};
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<bool> armed_{false};
    std::atomic<std::int64_t> firstSoundNs_{0};
    std::atomic<spa_io_position*> position_{nullptr};
    std::atomic<std::uint64_t> quantum_{0};
    std::atomic<std::uint32_t> rate_{0};
};

}  // namespace pellimar::testing
