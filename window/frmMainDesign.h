#pragma once
// The window as designed, shared by every front end: captions, initial
// texts, messages, the layout in twips (1/1440 inch) and the tab order.
// Each front end maps twips to its own units.

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>

namespace frmMainDesign {

enum class Kind { Label, LineEdit, CheckBox, Button, MultiLineEdit };

struct Control {
    std::string_view name;
    Kind kind;
    std::u16string_view text;
    int left, top, width, height;
    int tabIndex;  // labels have one too, but take no focus
};

inline constexpr std::u16string_view kCaption = u"Quorvel作成";
inline constexpr std::u16string_view kAppTitle = u"Quorvel";
inline constexpr int kClientWidth = 5505;
inline constexpr int kClientHeight = 3240;
inline constexpr std::u16string_view kSampleAddress = u"someone@example.com";
inline constexpr std::u16string_view kInstruction =
    u"出来たタグをコピペしてね。\r\nコピーボタンでクリップボードにコピーされます。\r\n";
inline constexpr std::u16string_view kCopyFailed = u"クリップボードコピーに失敗しました。";
inline constexpr std::u16string_view kShellError = u"ShellExecuteエラー";
inline constexpr std::u16string_view kPreviewFile = u"quorvel.html";
// The height of the interface font the layout was drawn for, in twips: 9
// points, 12 pixels at 96 DPI.
inline constexpr int kFontHeight = 180;
// What a screen reader says for the result field, which has no label.
inline constexpr std::u16string_view kTagName = u"出来たタグ";
inline constexpr std::u16string_view kTagDescription =
    u"作成ボタンで出来たタグです。コピーボタンでクリップボードにコピーされます。";

// The page could not be written: name the file and give the system's reason,
// so that the user can act on it. Nothing is opened then.
inline std::u16string WriteFailedMessage(std::u16string_view reason)
{
    std::u16string text = u"プレビューファイル「";
    text += kPreviewFile;
    text += u"」を書き込めませんでした。\n";
    text += reason;
    return text;
}

inline constexpr std::array<Control, 10> kControls{{
    {"Label1", Kind::Label, u"表示内容", 120, 120, 855, 255, 8},
    {"txtTitle", Kind::LineEdit, u"メール送信", 1080, 120, 4335, 375, 0},
    {"Label2", Kind::Label, u"アドレス", 120, 600, 855, 255, 9},
    {"txtMail", Kind::LineEdit, kSampleAddress, 1080, 600, 4335, 375, 1},
    {"chkCnvScript", Kind::CheckBox, u"スクリプト化", 240, 1080, 1455, 255, 7},
    {"chkCovCode", Kind::CheckBox, u"コード化", 240, 1320, 1455, 255, 4},
    {"btnMake", Kind::Button, u"作成", 2400, 1080, 1095, 375, 3},
    {"btnPreView", Kind::Button, u"ﾌﾟﾚﾋﾞｭｰ", 3600, 1080, 855, 375, 6},
    {"btnCopy", Kind::Button, u"コピー", 4560, 1080, 735, 375, 5},
    {"txtTag", Kind::MultiLineEdit, kInstruction, 120, 1680, 5295, 1455, 2},
}};

// Each label captions the field to its right, and a screen reader names the
// field after it: Qt through the label's buddy, Windows through the static
// text just before the field in z-order.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kLabelOf{{
    {"Label1", "txtTitle"},
    {"Label2", "txtMail"},
}};

constexpr const Control& control(std::string_view name)
{
    return *std::find_if(kControls.begin(), kControls.end(),
                         [name](const Control& c) { return c.name == name; });
}

// The controls that take focus, in tab order.
inline std::array<const Control*, 8> TabOrder()
{
    std::array<const Control*, 8> order{};
    for (const Control& c : kControls)
        if (c.kind != Kind::Label)
            order[static_cast<std::size_t>(c.tabIndex)] = &c;
    return order;
}

} // namespace frmMainDesign
