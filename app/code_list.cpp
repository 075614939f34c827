#include "app/code_list.h"

#include "values/services.h"

namespace tessaro::app {

namespace {

// Who made the tool and where it is discussed; shown in the caption and in the label.
constexpr std::string_view kForumName = "晨港游戏论坛";
constexpr std::string_view kForumAddress = "www.dawnharbor.example";
constexpr std::string_view kAuthor = "青岚";

}  // namespace

void LoadCodeList(std::string_view path, CodeList& list) {
  list.codeBytes = ReadWholeFile(path);
  list.codeItems = SplitBytes(list.codeBytes, ToBytes("\r\n").view());
  // The run takes its codes from this second read, as text: it ends at the first NUL byte,
  // so it can hold fewer codes than codeItems counts.
  list.codeText = ToText(ReadWholeFile(path));
}

TextValue CountCaption(std::int32_t count) {
  static const TextValue head = Gbk("Tessaro（");
  static const TextValue tail =
      ConcatText(Gbk("个）"), SpaceText(10), Gbk(kForumName), Gbk(kForumAddress), SpaceText(5),
                 TextValue("By:"), Gbk(kAuthor), SpaceText(1));
  return ConcatText(head, ToText(count), tail);
}

TextValue UsageText() {
  static const TextValue text = ConcatText(
      Gbk("使用方法，先在软件里面的网页登陆账号并且绑定，然后点“兑换”，等79个兑换好了，"
          "再把网页拉下，点抽奖就可以了。兑换途中也可以先抽奖一下哦"),
      TextValue("\r\n"), SpaceText(37), Gbk("本工具由"), Gbk(kForumName), TextValue(" ("),
      Gbk(kForumAddress), TextValue(") "), Gbk("的"), Gbk(kAuthor), Gbk("制作"), SpaceText(40));
  return text;
}

}  // namespace tessaro::app
