#pragma once
// The player on the session bus as the desktop's media keys and player applets expect it
// (org.mpris.MediaPlayer2.tunova): what it plays, whether it plays, and Play, Pause, Stop and
// Raise from outside. Built on GIO's D-Bus, which the toolkit has already loaded; the bus's calls
// arrive on the toolkit's main loop, so the player is only ever touched from the UI thread.
#include <memory>
#include <string>

namespace tunova {

enum class PlaybackStatus { Stopped, Playing, Paused };

// What the desktop is told about the player (texts in UTF-8).
struct PlayerState {
  PlaybackStatus status = PlaybackStatus::Stopped;
  int track = 0; // changes with each new song; 0: nothing loaded yet
  std::string title;
  std::string artist;
  std::string url;
  long long lengthUs = 0;   // 0: not known yet
  long long positionUs = 0; // where it is in the song
  double volume = 1.0;      // 0..1

  bool operator==(const PlayerState&) const = default;
};

// What the bus asks of the player.
class PlayerControls {
public:
  virtual ~PlayerControls() = default;
  virtual PlayerState playerState() const = 0;
  virtual void play() = 0;
  virtual void pause() = 0;
  virtual void stopPlaying() = 0;
  virtual void raise() = 0;
  virtual void setVolume(double volume) = 0;
};

class PlayerOnBus {
public:
  // Puts `controls` on the session bus until destroyed; nullptr (and nothing printed) when there
  // is no session bus.
  static std::unique_ptr<PlayerOnBus> start(PlayerControls& controls);
  ~PlayerOnBus();
  PlayerOnBus(const PlayerOnBus&) = delete;
  PlayerOnBus& operator=(const PlayerOnBus&) = delete;

  // The player's state may have changed: the desktop is told what did.
  void refresh();

  struct Bus;

private:
  explicit PlayerOnBus(std::unique_ptr<Bus> bus);
  std::unique_ptr<Bus> bus_;
};

} // namespace tunova
