#include "runtime/player.h"

#include <wx/button.h>
#include <wx/mediactrl.h>
#include <wx/slider.h>
#include <wx/stattext.h>
#include <wx/timer.h>

#include "text/codepage.h"

namespace tunova {

namespace {

wxString clock(wxFileOffset ms) {
  const long s = static_cast<long>(ms / 1000);
  return wxString::Format("%02ld:%02ld", s / 60, s % 60);
}

} // namespace

WxMediaPlayer::WxMediaPlayer(wxWindow* parent, const Control& def)
    : wxPanel(parent, wxID_ANY, wxPoint(def.left, def.top), wxSize(def.width, def.height)) {
  autoStart_ = def.player.autoStart;
  media_ = new wxMediaCtrl();
  media_->Create(this, wxID_ANY, wxEmptyString, wxPoint(0, 0), wxSize(1, 1), 0,
                 wxMEDIABACKEND_GSTREAMER);
  media_->Hide(); // sound only: the transport row below is the visible control
  media_->SetVolume(def.player.mute ? 0.0 : def.player.volume / 100.0);

  const int h = def.height - 8;
  playPause_ = new wxButton(this, wxID_ANY, wxString::FromUTF8("▶"), wxPoint(2, 4), wxSize(34, h));
  stop_ = new wxButton(this, wxID_ANY, wxString::FromUTF8("■"), wxPoint(38, 4), wxSize(34, h));
  position_ = new wxSlider(this, wxID_ANY, 0, 0, 1000, wxPoint(76, 4), wxSize(170, h));
  time_ = new wxStaticText(this, wxID_ANY, "00:00", wxPoint(250, 4 + (h - 16) / 2), wxSize(44, 16));
  volume_ = new wxSlider(this, wxID_ANY, def.player.volume, 0, 100, wxPoint(296, 4),
                         wxSize(def.width - 298, h));
  playPause_->SetToolTip(wxString::FromUTF8("播放/暂停"));
  stop_->SetToolTip(wxString::FromUTF8("停止"));
  volume_->SetToolTip(wxString::FromUTF8("音量"));

  media_->Bind(wxEVT_MEDIA_LOADED, &WxMediaPlayer::onLoaded, this);
  media_->Bind(wxEVT_MEDIA_FINISHED, &WxMediaPlayer::onFinished, this);
  playPause_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    if (media_->GetState() == wxMEDIASTATE_PLAYING) {
      media_->Pause();
      wantPlay_ = false;
    } else if (!url_.empty()) {
      media_->Play();
      wantPlay_ = true;
    }
    updateButton();
  });
  stop_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { stop(); });
  position_->Bind(wxEVT_SLIDER, [this](wxCommandEvent&) {
    const wxFileOffset length = media_->Length();
    if (length > 0) media_->Seek(length * position_->GetValue() / 1000);
  });
  volume_->Bind(wxEVT_SLIDER,
                [this](wxCommandEvent&) { media_->SetVolume(volume_->GetValue() / 100.0); });
  ticker_ = new wxTimer(this);
  Bind(wxEVT_TIMER, &WxMediaPlayer::onTick, this, ticker_->GetId());
  ticker_->Start(500);
}

WxMediaPlayer::~WxMediaPlayer() {
  ticker_->Stop();
  delete ticker_;
  media_->Stop();
}

void WxMediaPlayer::setUrl(const std::string& url) {
  url_ = url;
  wantPlay_ = autoStart_;
  media_->Stop();
  if (!media_->LoadURI(wxString::FromUTF8(toUtf8(url)))) wantPlay_ = false;
  updateButton();
}

void WxMediaPlayer::stop() {
  wantPlay_ = false;
  media_->Stop();
  position_->SetValue(0);
  time_->SetLabel("00:00");
  updateButton();
}

bool WxMediaPlayer::isPlaying() const {
  return wantPlay_ || media_->GetState() == wxMEDIASTATE_PLAYING;
}

void WxMediaPlayer::onLoaded(wxMediaEvent&) {
  if (wantPlay_) media_->Play();
  updateButton();
}

void WxMediaPlayer::onFinished(wxMediaEvent&) {
  wantPlay_ = false;
  updateButton();
}

void WxMediaPlayer::onTick(wxTimerEvent&) {
  const wxFileOffset length = media_->Length();
  const wxFileOffset at = media_->Tell();
  if (length > 0 && at >= 0) position_->SetValue(static_cast<int>(at * 1000 / length));
  if (at >= 0) time_->SetLabel(clock(at));
  updateButton();
}

void WxMediaPlayer::updateButton() {
  const bool playing = media_->GetState() == wxMEDIASTATE_PLAYING;
  playPause_->SetLabel(wxString::FromUTF8(playing ? "⏸" : "▶"));
}

} // namespace tunova
