#include "runtime/sound.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <memory>

#include "runtime/sound_platform.h"

// The platform part of the sound on Linux: a GStreamer pipeline
// (appsrc ! wavparse ! audioconvert ! audioresample ! autoaudiosink) per sound.

namespace tunova {

namespace {

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

} // namespace

bool soundPlayerReady() {
  return gstReady();
}

bool playWaveToEnd(const Bytes& wave) {
  const std::unique_ptr<GstElement, PipelineStop> pipeline(gst_parse_launch(
      "appsrc name=src format=bytes ! wavparse ! audioconvert ! audioresample ! autoaudiosink",
      nullptr));
  if (!pipeline) return false;
  {
    const GstOwned<GstElement> src(gst_bin_get_by_name(GST_BIN(pipeline.get()), "src"));
    if (!src) return false;
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, wave.size(), nullptr);
    gst_buffer_fill(buffer, 0, wave.data(), wave.size());
    gst_app_src_push_buffer(GST_APP_SRC(src.get()), buffer); // takes the buffer
    gst_app_src_end_of_stream(GST_APP_SRC(src.get()));
  }
  if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
    return false;
  const GstOwned<GstBus> bus(gst_element_get_bus(pipeline.get()));
  const std::unique_ptr<GstMessage, MessageUnref> msg(gst_bus_timed_pop_filtered(
      bus.get(), 5 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  return msg && GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_EOS;
}

// GStreamer's automatic sink falls back to a silent one: a sound always plays to its end.
bool audioOutputAvailable() {
  return gstReady();
}

} // namespace tunova
