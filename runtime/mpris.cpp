#include "runtime/mpris.h"

#include <gio/gio.h>
#include <unistd.h>

#include <filesystem>

namespace tunova {

namespace {

constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
constexpr const char* kRoot = "org.mpris.MediaPlayer2";
constexpr const char* kPlayer = "org.mpris.MediaPlayer2.Player";
constexpr const char* kBusName = "org.mpris.MediaPlayer2.tunova";

constexpr const char* kInterfaces = R"(<node>
  <interface name="org.mpris.MediaPlayer2">
    <method name="Raise"/>
    <method name="Quit"/>
    <property name="CanQuit" type="b" access="read"/>
    <property name="CanRaise" type="b" access="read"/>
    <property name="HasTrackList" type="b" access="read"/>
    <property name="Identity" type="s" access="read"/>
    <property name="DesktopEntry" type="s" access="read"/>
    <property name="SupportedUriSchemes" type="as" access="read"/>
    <property name="SupportedMimeTypes" type="as" access="read"/>
  </interface>
  <interface name="org.mpris.MediaPlayer2.Player">
    <method name="Next"/>
    <method name="Previous"/>
    <method name="Pause"/>
    <method name="PlayPause"/>
    <method name="Stop"/>
    <method name="Play"/>
    <method name="Seek"><arg direction="in" name="Offset" type="x"/></method>
    <method name="SetPosition">
      <arg direction="in" name="TrackId" type="o"/>
      <arg direction="in" name="Position" type="x"/>
    </method>
    <method name="OpenUri"><arg direction="in" name="Uri" type="s"/></method>
    <signal name="Seeked"><arg name="Position" type="x"/></signal>
    <property name="PlaybackStatus" type="s" access="read"/>
    <property name="Rate" type="d" access="readwrite"/>
    <property name="Metadata" type="a{sv}" access="read"/>
    <property name="Volume" type="d" access="readwrite"/>
    <property name="Position" type="x" access="read"/>
    <property name="MinimumRate" type="d" access="read"/>
    <property name="MaximumRate" type="d" access="read"/>
    <property name="CanGoNext" type="b" access="read"/>
    <property name="CanGoPrevious" type="b" access="read"/>
    <property name="CanPlay" type="b" access="read"/>
    <property name="CanPause" type="b" access="read"/>
    <property name="CanSeek" type="b" access="read"/>
    <property name="CanControl" type="b" access="read"/>
  </interface>
</node>)";

const char* statusName(PlaybackStatus s) {
  switch (s) {
  case PlaybackStatus::Playing:
    return "Playing";
  case PlaybackStatus::Paused:
    return "Paused";
  case PlaybackStatus::Stopped:
    break;
  }
  return "Stopped";
}

// A text for the bus, which only carries valid UTF-8 (a catalogue's titles are not trusted).
GVariant* text(const std::string& s) {
  if (g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) {
    return g_variant_new_string(s.c_str());
  }
  gchar* valid = g_utf8_make_valid(s.data(), static_cast<gssize>(s.size()));
  GVariant* v = g_variant_new_string(valid);
  g_free(valid);
  return v;
}

GVariant* metadata(const PlayerState& s) {
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
  const std::string track = s.track > 0 ? "/org/tunova/Tunova/track/" + std::to_string(s.track)
                                        : "/org/mpris/MediaPlayer2/TrackList/NoTrack";
  g_variant_builder_add(&b, "{sv}", "mpris:trackid", g_variant_new_object_path(track.c_str()));
  if (s.track > 0) {
    g_variant_builder_add(&b, "{sv}", "xesam:title", text(s.title));
    GVariantBuilder artists;
    g_variant_builder_init(&artists, G_VARIANT_TYPE("as"));
    if (!s.artist.empty()) g_variant_builder_add_value(&artists, text(s.artist));
    g_variant_builder_add(&b, "{sv}", "xesam:artist", g_variant_builder_end(&artists));
    g_variant_builder_add(&b, "{sv}", "xesam:url", text(s.url));
    if (s.lengthUs > 0) {
      g_variant_builder_add(&b, "{sv}", "mpris:length", g_variant_new_int64(s.lengthUs));
    }
  }
  return g_variant_builder_end(&b);
}

GVariant* strings(std::initializer_list<const char*> items) {
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE("as"));
  for (const char* item : items)
    g_variant_builder_add(&b, "s", item);
  return g_variant_builder_end(&b);
}

// Whether a session bus is there to connect to, without asking GIO to start one (it would try
// to launch a bus for the X display and complain when it cannot).
bool sessionBusKnown() {
  const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = g_getenv("XDG_RUNTIME_DIR");
  std::error_code ec;
  return runtime && *runtime && std::filesystem::exists(std::string(runtime) + "/bus", ec);
}

} // namespace

struct PlayerOnBus::Bus {
  PlayerControls& controls;
  GDBusConnection* connection = nullptr;
  GDBusNodeInfo* node = nullptr;
  guint objects[2] = {0, 0};
  guint name = 0;
  guint instanceName = 0; // when another Tunova holds the well-known name
  PlayerState told;       // what the desktop was last told

  explicit Bus(PlayerControls& c) : controls(c) {}
  ~Bus() {
    if (name) g_bus_unown_name(name);
    if (instanceName) g_bus_unown_name(instanceName);
    for (guint id : objects)
      if (id) g_dbus_connection_unregister_object(connection, id);
    if (connection) {
      g_dbus_connection_flush_sync(connection, nullptr, nullptr);
      g_object_unref(connection);
    }
    if (node) g_dbus_node_info_unref(node);
  }

  GVariant* property(const char* interface, const char* property) {
    const std::string p = property;
    if (std::string(interface) == kRoot) {
      if (p == "CanQuit" || p == "HasTrackList") return g_variant_new_boolean(FALSE);
      if (p == "CanRaise") return g_variant_new_boolean(TRUE);
      if (p == "Identity") return g_variant_new_string("Tunova");
      if (p == "DesktopEntry") return g_variant_new_string("org.tunova.Tunova");
      if (p == "SupportedUriSchemes") return strings({});
      if (p == "SupportedMimeTypes") return strings({});
      return nullptr;
    }
    const PlayerState s = controls.playerState();
    if (p == "PlaybackStatus") return g_variant_new_string(statusName(s.status));
    if (p == "Rate" || p == "MinimumRate" || p == "MaximumRate") return g_variant_new_double(1.0);
    if (p == "Metadata") return metadata(s);
    if (p == "Volume") return g_variant_new_double(s.volume);
    if (p == "Position") return g_variant_new_int64(s.positionUs);
    if (p == "CanPlay") return g_variant_new_boolean(s.track > 0);
    if (p == "CanPause" || p == "CanControl") return g_variant_new_boolean(TRUE);
    if (p == "CanGoNext" || p == "CanGoPrevious" || p == "CanSeek") {
      return g_variant_new_boolean(FALSE);
    }
    return nullptr;
  }

  void call(const std::string& method, GDBusMethodInvocation* invocation) {
    const PlayerState s = controls.playerState();
    if (method == "Raise") {
      controls.raise();
    } else if (method == "Play") {
      controls.play();
    } else if (method == "Pause") {
      controls.pause();
    } else if (method == "PlayPause") {
      if (s.status == PlaybackStatus::Playing) {
        controls.pause();
      } else {
        controls.play();
      }
    } else if (method == "Stop") {
      controls.stopPlaying();
    } else if (method == "OpenUri") {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED,
                                            "Tunova plays the songs of its list only");
      return;
    }
    // Quit, Next, Previous, Seek and SetPosition do nothing, as their Can* properties say.
    g_dbus_method_invocation_return_value(invocation, nullptr);
    refresh();
  }

  // Emits PropertiesChanged for the player's properties that differ from what was last told.
  void refresh() {
    const PlayerState now = controls.playerState();
    GVariantBuilder changed;
    g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
    bool any = false;
    auto add = [&](const char* property) {
      g_variant_builder_add(&changed, "{sv}", property, this->property(kPlayer, property));
      any = true;
    };
    if (now.status != told.status) add("PlaybackStatus");
    if (now.track != told.track || now.title != told.title || now.artist != told.artist ||
        now.url != told.url || now.lengthUs != told.lengthUs) {
      add("Metadata");
    }
    if ((now.track > 0) != (told.track > 0)) add("CanPlay");
    if (now.volume != told.volume) add("Volume");
    told = now;
    if (!any) {
      g_variant_builder_clear(&changed);
      return;
    }
    g_dbus_connection_emit_signal(connection, nullptr, kObjectPath,
                                  "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                  g_variant_new("(sa{sv}as)", kPlayer, &changed, nullptr), nullptr);
  }

  static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                     const gchar* method, GVariant*, GDBusMethodInvocation* invocation,
                     gpointer self) {
    static_cast<Bus*>(self)->call(method, invocation);
  }

  static GVariant* onGet(GDBusConnection*, const gchar*, const gchar*, const gchar* interface,
                         const gchar* property, GError** error, gpointer self) {
    GVariant* v = static_cast<Bus*>(self)->property(interface, property);
    if (!v) {
      g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
    }
    return v;
  }

  static gboolean onSet(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                        const gchar* property, GVariant* value, GError** error, gpointer self) {
    auto* bus = static_cast<Bus*>(self);
    const std::string p = property;
    if (p == "Volume" && g_variant_is_of_type(value, G_VARIANT_TYPE_DOUBLE)) {
      const double v = g_variant_get_double(value);
      bus->controls.setVolume(v < 0 ? 0 : v > 1 ? 1 : v);
      bus->refresh();
      return TRUE;
    }
    if (p == "Rate") return TRUE; // only 1.0 is played
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_PROPERTY_READ_ONLY, "%s is read only", property);
    return FALSE;
  }

  // Another Tunova holds the well-known name: this one takes a name of its own, as the desktop's
  // players do.
  static void onNameLost(GDBusConnection* connection, const gchar*, gpointer self) {
    auto* bus = static_cast<Bus*>(self);
    if (!connection || bus->instanceName) return;
    const std::string instance = std::string(kBusName) + ".instance" + std::to_string(getpid());
    bus->instanceName = g_bus_own_name_on_connection(bus->connection, instance.c_str(),
                                                     G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE, nullptr,
                                                     nullptr, nullptr, nullptr);
  }
};

std::unique_ptr<PlayerOnBus> PlayerOnBus::start(PlayerControls& controls) {
  if (!sessionBusKnown()) return nullptr;
  auto bus = std::make_unique<Bus>(controls);
  bus->connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus->connection) return nullptr;
  // The bus going away ends the desktop's view of the player, not the program.
  g_dbus_connection_set_exit_on_close(bus->connection, FALSE);
  bus->node = g_dbus_node_info_new_for_xml(kInterfaces, nullptr);
  if (!bus->node) return nullptr;
  static const GDBusInterfaceVTable vtable = {&Bus::onCall, &Bus::onGet, &Bus::onSet, {}};
  for (int i = 0; i < 2; ++i) {
    bus->objects[i] =
        g_dbus_connection_register_object(bus->connection, kObjectPath, bus->node->interfaces[i],
                                          &vtable, bus.get(), nullptr, nullptr);
    if (!bus->objects[i]) return nullptr;
  }
  bus->name =
      g_bus_own_name_on_connection(bus->connection, kBusName, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
                                   nullptr, &Bus::onNameLost, bus.get(), nullptr);
  bus->told = controls.playerState();
  return std::unique_ptr<PlayerOnBus>(new PlayerOnBus(std::move(bus)));
}

PlayerOnBus::PlayerOnBus(std::unique_ptr<Bus> bus) : bus_(std::move(bus)) {}

PlayerOnBus::~PlayerOnBus() = default;

void PlayerOnBus::refresh() {
  bus_->refresh();
}

} // namespace tunova
