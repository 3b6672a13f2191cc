#include "settings/settings.h"

#include "text/codepage.h"
#include "text/text.h"

namespace tunova {

namespace {

const std::string& section() {
  static const std::string s = gbk("保存目录");
  return s;
}

const std::string& key() {
  static const std::string k = gbk("保存");
  return k;
}

const std::string& labelPrefix() {
  static const std::string p = gbk("保存目录：");
  return p;
}

} // namespace

std::string settingsPath(Host& host) {
  const std::string beside = host.runFolder() + kPathSeparator + "bc.ini";
  if (host.canWriteFolder(host.runFolder())) return beside;
  const std::string user = userSettingsPath(host);
  if (user.empty() || (!host.fileExists(user) && host.fileExists(beside))) return beside;
  return user;
}

std::string settingsWritePath(Host& host) {
  const std::string user = userSettingsPath(host);
  if (host.canWriteFolder(host.runFolder()) || user.empty())
    return host.runFolder() + kPathSeparator + "bc.ini";
  return user;
}

std::string userSettingsPath(Host& host) {
  const std::string folder = host.userSettingsFolder();
  return folder.empty() ? std::string() : folder + kPathSeparator + "bc.ini";
}

void showSaveFolder(Host& host) {
  const std::string value = host.readIni(settingsPath(host), section(), key());
  if (host.fileExists(settingsPath(host))) {
    host.setCaption(names().mainWindow, names().folderLabel, labelPrefix() + value);
  }
}

void chooseSaveFolder(Host& host) {
  // The picker opens at the folder chosen before, when there is one.
  std::string current;
  if (lookupSaveFolder(host, current) && current.size() > 1 && current.back() == kPathSeparator)
    current.pop_back();
  const std::string folder = host.chooseFolder(gbk("选择保存目录"), false, current);
  if (folder.empty()) return; // cancelled: the setting and the label stay as they are
  const std::string value = folder + kPathSeparator;
  const std::string path = settingsWritePath(host);
  if (!host.writeIni(path, section(), key(), value)) {
    // Not saved: the label keeps the folder that is in effect, and the user is told why.
    host.messageBox(gbk("无法保存设置：") + fromUtf8(path));
    return;
  }
  host.setCaption(names().mainWindow, names().folderLabel, labelPrefix() + value);
}

bool lookupSaveFolder(Host& host, std::string& folder) {
  const std::string value = host.readIni(settingsPath(host), section(), key());
  if (!host.fileExists(settingsPath(host))) return false;
  folder = value;
  return true;
}

} // namespace tunova
