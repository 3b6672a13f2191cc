#include "host/windows.h"

#include "text/text.h"

namespace tunova {

const Names& names() {
  static const Names n = [] {
    Names v;
    v.searchBox = gbk("编辑框1");
    v.searchButton = gbk("按钮1");
    v.timer = gbk("时钟1");
    v.chooseFolder = gbk("设置目录");
    v.folderLabel = gbk("存放目录");
    v.resultList = gbk("超级列表框1");
    v.statusBar = gbk("状态条1");
    v.player = gbk("播放器1");
    v.menu = gbk("菜单");
    for (const char* t : {"热门", "飙演技", "民族风", "流行", "怀旧", "浪漫", "伤感"}) {
      v.tagLabels.push_back(gbk(std::string("标签_") + t));
    }
    return v;
  }();
  return n;
}

} // namespace tunova
