#include "runtime/player.h"

#include <wx/bmpbuttn.h>
#include <wx/dcmemory.h>
#include <wx/mediactrl.h>
#include <wx/slider.h>
#include <wx/stattext.h>
#include <wx/timer.h>

#include <algorithm>

#include "runtime/gtk_access.h"
#include "text/codepage.h"

namespace tunova {

namespace {

wxString clock(wxFileOffset ms) {
  const long s = static_cast<long>(std::max<wxFileOffset>(ms, 0) / 1000);
  return wxString::Format("%02ld:%02ld", s / 60, s % 60);
}

enum class Glyph { Play, Pause, Stop };

// The transport buttons' glyphs, drawn rather than taken from a font (not every font has the
// media symbols, and a glyph that does not fit leaves a blank button).
wxBitmap glyph(Glyph g, int size) {
  wxBitmap bitmap(size, size, 32);
  bitmap.UseAlpha();
  {
    wxMemoryDC dc(bitmap);
    dc.SetBackground(wxBrush(wxColour(255, 255, 255)));
    dc.Clear();
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.SetBrush(wxBrush(wxColour(40, 40, 40)));
    const int m = size / 5;
    switch (g) {
    case Glyph::Play: {
      const wxPoint tri[] = {{m + 1, m}, {size - m, size / 2}, {m + 1, size - m}};
      dc.DrawPolygon(3, tri);
      break;
    }
    case Glyph::Pause:
      dc.DrawRectangle(m + 1, m, (size - 2 * m) / 3, size - 2 * m);
      dc.DrawRectangle(size - m - (size - 2 * m) / 3, m, (size - 2 * m) / 3, size - 2 * m);
      break;
    case Glyph::Stop:
      dc.DrawRectangle(m + 1, m + 1, size - 2 * m - 1, size - 2 * m - 1);
      break;
    }
  }
  // White becomes transparent, so the glyph sits on the button's own face.
  wxImage image = bitmap.ConvertToImage();
  if (!image.HasAlpha()) image.InitAlpha();
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const bool white = image.GetRed(x, y) > 200 && image.GetGreen(x, y) > 200;
      image.SetAlpha(x, y, white ? 0 : 255);
    }
  }
  return wxBitmap(image);
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
  const int icon = std::max(8, std::min(h - 12, 16));
  playBitmap_ = glyph(Glyph::Play, icon);
  pauseBitmap_ = glyph(Glyph::Pause, icon);
  playPause_ = new wxBitmapButton(this, wxID_ANY, playBitmap_, wxPoint(2, 4), wxSize(34, h));
  stop_ =
      new wxBitmapButton(this, wxID_ANY, glyph(Glyph::Stop, icon), wxPoint(38, 4), wxSize(34, h));
  position_ = new wxSlider(this, wxID_ANY, 0, 0, 1000, wxPoint(74, 4), wxSize(128, h));
  // Elapsed and total time: "00:12 / 00:35".
  time_ = new wxStaticText(this, wxID_ANY, "00:00 / 00:00", wxPoint(204, 4 + (h - 16) / 2),
                           wxSize(92, 16), wxST_NO_AUTORESIZE | wxALIGN_CENTRE_HORIZONTAL);
  volume_ = new wxSlider(this, wxID_ANY, def.player.volume, 0, 100, wxPoint(298, 4),
                         wxSize(def.width - 300, h));
  playPause_->SetToolTip(wxString::FromUTF8("播放/暂停"));
  stop_->SetToolTip(wxString::FromUTF8("停止"));
  volume_->SetToolTip(wxString::FromUTF8("音量"));
  // The buttons show only glyphs and the sliders no text: a screen reader gets their names.
  describe(playPause_, ATK_ROLE_PUSH_BUTTON, wxString::FromUTF8("播放/暂停"));
  describe(stop_, ATK_ROLE_PUSH_BUTTON, wxString::FromUTF8("停止"));
  describe(position_, ATK_ROLE_SLIDER, wxString::FromUTF8("播放位置"));
  describe(volume_, ATK_ROLE_SLIDER, wxString::FromUTF8("音量"));

  media_->Bind(wxEVT_MEDIA_LOADED, &WxMediaPlayer::onLoaded, this);
  media_->Bind(wxEVT_MEDIA_FINISHED, &WxMediaPlayer::onFinished, this);
  playPause_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    if (media_->GetState() == wxMEDIASTATE_PLAYING) {
      pause();
    } else {
      play();
    }
  });
  stop_->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { stop(); });
  position_->Bind(wxEVT_SLIDER, [this](wxCommandEvent&) {
    const wxFileOffset length = media_->Length() > 0 ? media_->Length() : length_;
    if (length > 0) media_->Seek(length * position_->GetValue() / 1000);
  });
  volume_->Bind(wxEVT_SLIDER,
                [this](wxCommandEvent&) { media_->SetVolume(volume_->GetValue() / 100.0); });
  ticker_ = new wxTimer(this);
  Bind(wxEVT_TIMER, &WxMediaPlayer::onTick, this, ticker_->GetId());
  ticker_->Start(500);
  bus_ = PlayerOnBus::start(*this);
}

WxMediaPlayer::~WxMediaPlayer() {
  bus_.reset();
  ticker_->Stop();
  delete ticker_;
  media_->Stop();
}

void WxMediaPlayer::describeSong(const std::string& title, const std::string& artist) {
  title_ = toUtf8(title);
  artist_ = toUtf8(artist);
}

void WxMediaPlayer::setUrl(const std::string& url) {
  url_ = url;
  ++track_;
  wantPlay_ = autoStart_;
  length_ = 0;
  stopped_ = false;
  media_->Stop();
  if (!media_->LoadURI(wxString::FromUTF8(toUtf8(url)))) wantPlay_ = false;
  updateButton();
}

void WxMediaPlayer::stop() {
  wantPlay_ = false;
  if (media_->Length() > 0) length_ = media_->Length();
  media_->Stop();
  stopped_ = true;
  position_->SetValue(0);
  time_->SetLabel(clock(0) + " / " + clock(length_));
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
  if (media_->Length() > 0) length_ = media_->Length();
  if (media_->GetState() == wxMEDIASTATE_PLAYING) stopped_ = false;
  // After Stop the read-out keeps 00:00 and the length, whatever the stopped pipeline says.
  const wxFileOffset at = stopped_ ? 0 : media_->Tell();
  if (length_ > 0 && at >= 0) position_->SetValue(static_cast<int>(at * 1000 / length_));
  if (at >= 0) time_->SetLabel(clock(at) + " / " + clock(length_));
  updateButton();
}

void WxMediaPlayer::updateButton() {
  const bool playing = media_->GetState() == wxMEDIASTATE_PLAYING;
  playPause_->SetBitmapLabel(playing ? pauseBitmap_ : playBitmap_);
  if (bus_) bus_->refresh();
}

void WxMediaPlayer::play() {
  if (url_.empty()) return;
  media_->Play();
  wantPlay_ = true;
  updateButton();
}

void WxMediaPlayer::pause() {
  media_->Pause();
  wantPlay_ = false;
  updateButton();
}

void WxMediaPlayer::raise() {
  if (wxWindow* window = wxGetTopLevelParent(this)) {
    window->Show();
    window->Raise();
  }
}

void WxMediaPlayer::setVolume(double volume) {
  media_->SetVolume(volume);
  volume_->SetValue(static_cast<int>(volume * 100 + 0.5));
}

PlayerState WxMediaPlayer::playerState() const {
  PlayerState s;
  if (!url_.empty()) {
    s.track = track_;
    s.title = title_;
    s.artist = artist_;
    s.url = toUtf8(url_);
  }
  if (isPlaying()) {
    s.status = PlaybackStatus::Playing;
  } else if (!stopped_ && media_->GetState() == wxMEDIASTATE_PAUSED) {
    s.status = PlaybackStatus::Paused;
  }
  const wxFileOffset length = media_->Length() > 0 ? media_->Length() : length_;
  s.lengthUs = std::max<wxFileOffset>(length, 0) * 1000;
  s.positionUs = stopped_ ? 0 : std::max<wxFileOffset>(media_->Tell(), 0) * 1000;
  s.volume = volume_->GetValue() / 100.0;
  return s;
}

wxString WxMediaPlayer::timeText() const {
  return time_->GetLabel();
}

} // namespace tunova
