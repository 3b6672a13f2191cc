#pragma once
// The media player control: a wxMediaCtrl (GStreamer backend) with a transport row of our own
// (play/pause, stop, position, volume) in the player's area, since GTK draws no controls for
// it. Given an address it starts playing at once; it never shows error dialogs.
#include <wx/bitmap.h>
#include <wx/panel.h>

#include <memory>

#include "host/host.h"
#include "runtime/mpris.h"

class wxMediaCtrl;
class wxMediaEvent;
class wxBitmapButton;
class wxSlider;
class wxStaticText;
class wxTimer;
class wxTimerEvent;

namespace tunova {

class WxMediaPlayer : public wxPanel, public MediaPlayer, private PlayerControls {
public:
  WxMediaPlayer(wxWindow* parent, const Control& definition);
  ~WxMediaPlayer() override;

  void setUrl(const std::string& url) override;
  void describeSong(const std::string& title, const std::string& artist) override;
  void stop() override;

  const std::string& url() const { return url_; }
  bool isPlaying() const;
  // What the time read-out shows ("elapsed / total").
  wxString timeText() const;

private:
  void onLoaded(wxMediaEvent&);
  void onFinished(wxMediaEvent&);
  void onTick(wxTimerEvent&);
  void updateButton();

  PlayerState playerState() const override;
  void play() override;
  void pause() override;
  void stopPlaying() override { stop(); }
  void raise() override;
  void setVolume(double volume) override;

  wxMediaCtrl* media_ = nullptr;
  wxBitmapButton* playPause_ = nullptr;
  wxBitmapButton* stop_ = nullptr;
  wxBitmap playBitmap_;
  wxBitmap pauseBitmap_;
  wxSlider* position_ = nullptr;
  wxSlider* volume_ = nullptr;
  wxStaticText* time_ = nullptr;
  wxTimer* ticker_ = nullptr;
  std::string url_;
  bool autoStart_ = true;
  bool wantPlay_ = false;
  // The song's length once known (ms; 0 unknown): a stopped pipeline no longer tells it.
  wxFileOffset length_ = 0;
  bool stopped_ = false;       // stopped by the user: the read-out stays at 00:00
  std::string title_, artist_; // of the song set next or playing (UTF-8)
  int track_ = 0;              // counts the songs set
  std::unique_ptr<PlayerOnBus> bus_;
};

} // namespace tunova
