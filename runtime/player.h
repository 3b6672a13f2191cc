#pragma once
// The media player control: a wxMediaCtrl (GStreamer backend) with a transport row of our own
// (play/pause, stop, position, volume) in the player's area, since GTK draws no controls for
// it. Given an address it starts playing at once; it never shows error dialogs.
#include <wx/bitmap.h>
#include <wx/panel.h>

#include "host/host.h"

class wxMediaCtrl;
class wxMediaEvent;
class wxBitmapButton;
class wxSlider;
class wxStaticText;
class wxTimer;
class wxTimerEvent;

namespace tunova {

class WxMediaPlayer : public wxPanel, public MediaPlayer {
public:
  WxMediaPlayer(wxWindow* parent, const Control& definition);
  ~WxMediaPlayer() override;

  void setUrl(const std::string& url) override;
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
  bool stopped_ = false; // stopped by the user: the read-out stays at 00:00
};

} // namespace tunova
