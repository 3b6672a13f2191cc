#pragma once
// The media player control on Windows: the Windows Media Player control
// ({6BF52A52-394A-11d3-B153-00C04F79FAA6}) hosted in the system's ActiveX host window (AtlAxWin of
// atl.dll), with its stored settings applied. When the control cannot be created the window
// stays empty and playback is dropped without a message.
#include <windows.h>

#include <string>

#include "host/host.h"

struct IWMPPlayer4;

namespace tunova {

class WmpPlayer : public MediaPlayer {
public:
  WmpPlayer(HWND parent, const Control& definition);
  ~WmpPlayer() override;
  WmpPlayer(const WmpPlayer&) = delete;
  WmpPlayer& operator=(const WmpPlayer&) = delete;

  void setUrl(const std::string& url) override;
  void stop() override;

  HWND window() const { return window_; }
  // Whether the control was created, and the address it holds (as it reports it, GBK).
  bool created() const { return player_ != nullptr; }
  std::string url() const;

private:
  HWND window_ = nullptr;
  IWMPPlayer4* player_ = nullptr;
};

} // namespace tunova
