#include "runtime/wmp_player.h"

#include <oleauto.h>
// The player's interface identifiers are defined here: no import library holds them.
#include <initguid.h>
// (after initguid.h, which makes it define them)
#include <wmp.h>

#include "runtime/wide_text.h"
#include "runtime/window_host.h"

namespace tunova {

namespace {

using AtlAxWinInitFunction = BOOL(WINAPI*)();
using AtlAxGetControlFunction = HRESULT(WINAPI*)(HWND, IUnknown**);

// atl.dll is loaded when the first player is made: a system without it still runs the program.
struct Atl {
  AtlAxWinInitFunction init = nullptr;
  AtlAxGetControlFunction getControl = nullptr;
  bool ready = false;
  Atl() {
    HMODULE atl = LoadLibraryW(L"atl.dll");
    if (!atl) return;
    init = reinterpret_cast<AtlAxWinInitFunction>(
        reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")));
    getControl = reinterpret_cast<AtlAxGetControlFunction>(
        reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxGetControl")));
    ready = init && getControl && init();
  }
};

Atl& atl() {
  static Atl instance;
  return instance;
}

// A BSTR owned for one call.
struct Bstr {
  BSTR value;
  explicit Bstr(const std::wstring& text) : value(SysAllocString(text.c_str())) {}
  ~Bstr() { SysFreeString(value); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
};

} // namespace

WmpPlayer::WmpPlayer(HWND parent, const Control& c) {
  if (!atl().ready) return;
  window_ = CreateWindowExW(0, L"AtlAxWin", L"{6BF52A52-394A-11d3-B153-00C04F79FAA6}",
                            WS_CHILD | (c.visible ? WS_VISIBLE : 0) | (c.tabStop ? WS_TABSTOP : 0),
                            c.left, c.top, c.width, c.height, parent, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
  if (!window_) return;
  IUnknown* control = nullptr;
  if (FAILED(atl().getControl(window_, &control)) || !control) return;
  control->QueryInterface(IID_IWMPPlayer4, reinterpret_cast<void**>(&player_));
  control->Release();
  if (!player_) return;
  const PlayerSettings& s = c.player;
  {
    Bstr mode(wideOf(s.uiMode));
    player_->put_uiMode(mode.value);
  }
  player_->put_enableContextMenu(s.contextMenu ? VARIANT_TRUE : VARIANT_FALSE);
  player_->put_fullScreen(s.fullScreen ? VARIANT_TRUE : VARIANT_FALSE);
  IWMPSettings* settings = nullptr;
  if (SUCCEEDED(player_->get_settings(&settings)) && settings) {
    settings->put_autoStart(s.autoStart ? VARIANT_TRUE : VARIANT_FALSE);
    settings->put_volume(s.volume);
    settings->put_mute(s.mute ? VARIANT_TRUE : VARIANT_FALSE);
    settings->put_playCount(s.playCount);
    settings->put_enableErrorDialogs(s.errorDialogs ? VARIANT_TRUE : VARIANT_FALSE);
    settings->Release();
  }
  if (!s.url.empty()) setUrl(s.url);
}

WmpPlayer::~WmpPlayer() {
  stop();
  if (player_) player_->Release();
}

void WmpPlayer::setUrl(const std::string& url) {
  if (!player_) return;
  Bstr address(wideOf(url));
  player_->put_URL(address.value);
}

void WmpPlayer::stop() {
  if (!player_) return;
  IWMPControls* controls = nullptr;
  if (SUCCEEDED(player_->get_controls(&controls)) && controls) {
    controls->stop();
    controls->Release();
  }
}

std::string WmpPlayer::url() const {
  if (!player_) return {};
  BSTR value = nullptr;
  if (FAILED(player_->get_URL(&value)) || !value) return {};
  const std::string text = gbkOf(std::wstring(value, SysStringLen(value)));
  SysFreeString(value);
  return text;
}

} // namespace tunova
