#include "runtime/sound.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace tunova {

namespace {

std::mutex g_mutex;
std::condition_variable g_idle;
int g_playing = 0;
std::atomic<int> g_started{0};
std::atomic<int> g_playedToEnd{0};

bool gstReady() {
  static const bool ready = gst_init_check(nullptr, nullptr, nullptr) == TRUE;
  return ready;
}

// Owners for GStreamer's reference-counted objects and messages.
struct ObjectUnref {
  void operator()(gpointer object) const { gst_object_unref(object); }
};
template <typename T> using GstOwned = std::unique_ptr<T, ObjectUnref>;
struct MessageUnref {
  void operator()(GstMessage* message) const { gst_message_unref(message); }
};

// Stops a pipeline before its last reference goes.
struct PipelineStop {
  void operator()(GstElement* pipeline) const {
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
  }
};

void playNow(Bytes wave) {
  ++g_started;
  const std::unique_ptr<GstElement, PipelineStop> pipeline(gst_parse_launch(
      "appsrc name=src format=bytes ! wavparse ! audioconvert ! audioresample ! autoaudiosink",
      nullptr));
  if (!pipeline) return;
  {
    const GstOwned<GstElement> src(gst_bin_get_by_name(GST_BIN(pipeline.get()), "src"));
    if (!src) return;
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, wave.size(), nullptr);
    gst_buffer_fill(buffer, 0, wave.data(), wave.size());
    gst_app_src_push_buffer(GST_APP_SRC(src.get()), buffer); // takes the buffer
    gst_app_src_end_of_stream(GST_APP_SRC(src.get()));
  }
  if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) return;
  const GstOwned<GstBus> bus(gst_element_get_bus(pipeline.get()));
  const std::unique_ptr<GstMessage, MessageUnref> msg(gst_bus_timed_pop_filtered(
      bus.get(), 5 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  if (msg && GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_EOS) ++g_playedToEnd;
}

} // namespace

void playWaveAsync(const Bytes& wave) {
  if (wave.empty() || !gstReady()) return;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_playing;
  }
  std::thread([copy = wave]() mutable {
    playNow(std::move(copy));
    std::lock_guard<std::mutex> lock(g_mutex);
    --g_playing;
    g_idle.notify_all();
  }).detach();
}

void waitForSounds(int timeoutMs) {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return g_playing == 0; });
}

int soundsStarted() {
  return g_started.load();
}

// GStreamer's automatic sink falls back to a silent one: a sound always plays to its end.
bool audioOutputAvailable() {
  return gstReady();
}

int soundsPlayedToEnd() {
  return g_playedToEnd.load();
}

} // namespace tunova
