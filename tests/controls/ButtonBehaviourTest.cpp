// gwButtons_H on real windows under Wine: properties and their refusals, clicks from mouse,
// keyboard and access keys, option groups on the container window, hover tracking with the
// real cursor, focus, and the property bag.
#include "ButtonFixture.h"

#include "ButtonState.h"
#include "TestSupport.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <tuple>

namespace kavsafe::controls::test {
namespace {

HANDLE Prop(HWND window, const char* name) {
    return GetPropA(window, name);
}

int OptCount(HWND container) {
    return static_cast<int>(reinterpret_cast<INT_PTR>(Prop(container, "gw_OptCount")));
}

// ---------------------------------------------------------------------------------------
// Properties

TEST_F(ButtonTest, OutOfRangeValuesLeavePropertiesUnchangedAndUnreported) {
    gwButtons_H& b = Make();
    host.changed.clear();
    const auto state = [&] {
        return std::vector<int>{b.ButtonStyle(),  b.Mode(),        b.CaptionAlign(),
                                b.CaptionStyle(), b.CustomClick(), b.GradientMode(),
                                b.PictureAlign(), b.ButtonShape(), b.PictureSize()};
    };
    const std::vector<int> defaults = state();
    b.ButtonStyle(8);
    b.ButtonStyle(-1);
    b.Mode(3);
    b.CaptionAlign(3);
    b.CaptionStyle(3);
    b.CustomClick(9);
    b.GradientMode(5);
    b.PictureAlign(6);
    b.ButtonShape(9);
    b.PictureSize(5);
    EXPECT_EQ(state(), defaults);
    EXPECT_TRUE(host.changed.empty());

    // In range, each change is reported under its bag key.
    b.ButtonStyle(7);
    b.PictureSize(2);
    EXPECT_EQ(host.changed, (std::vector<std::wstring>{L"BackStyle", L"ImgSize"}));
}

TEST_F(ButtonTest, NewInstanceTakesDisplayNameParentFontAndDefaults) {
    host.displayName = L"cmdBackup";
    host.parentFont = FontSpec{L"宋体", 12.0, true};
    gwButtons_H& b = Make();
    EXPECT_EQ(b.Caption(), L"cmdBackup");
    EXPECT_EQ(quor::test::TextOf(b.hwnd()), L"cmdBackup");
    EXPECT_EQ(b.Font(), host.parentFont);
    EXPECT_EQ(b.FontStyle(), 2);
    EXPECT_EQ(b.CaptionAlign(), 2);
    EXPECT_TRUE(b.ShowFocusRect());
    EXPECT_EQ(b.BackColor(), kButtonFace);
    EXPECT_EQ(b.HoverForeColor(), kButtonText);
    EXPECT_EQ(b.HoverBackColor(), kButtonFace);
    EXPECT_EQ(host.changed, (std::vector<std::wstring>{L"Caption", L"CapAlign", L"Focus",
                                                       L"cFHover", L"cBHover", L"Font"}));
}

TEST_F(ButtonTest, DesignModeRefusalsShowTheirMessageAndRunModeStaysSilent) {
    gwButtons_H& b = Make();
    b.Value(true);
    b.CustomClick(3);
    b.ButtonShape(7);
    EXPECT_TRUE(host.messages.empty()); // run mode: silent
    EXPECT_FALSE(b.Value());
    EXPECT_EQ(b.ButtonShape(), 0);
    EXPECT_EQ(b.CustomClick(), 3); // stored in any case

    host.userMode = false;
    b.Value(true);
    b.ButtonShape(8);
    b.MouseIcon(Picture::FromBitmap(CreateBitmap(4, 4, 1, 32, nullptr)));
    ASSERT_EQ(host.messages.size(), 3u);
    EXPECT_EQ(host.messages[0].first, L"This property is not applicable for command button modes.");
    EXPECT_EQ(host.messages[1].first,
              L"The Picture Property must be assigned first and must be a bitmap or JPEG.");
    EXPECT_EQ(host.messages[2].second, L"Select .ico Or .cur Files Only");
    EXPECT_EQ(b.MouseIcon(), nullptr);
    EXPECT_FALSE(b.Value());
}

TEST_F(ButtonTest, HoverColoursFollowUntilSetAndLocksRecordIt) {
    gwButtons_H& b = Make();
    b.BackColor(0x00C08040);
    EXPECT_EQ(b.HoverBackColor(), 0x00C08040u); // locks 0: follows
    b.ForeColor(0x000000FF);
    EXPECT_EQ(b.HoverForeColor(), 0x000000FFu);
    b.HoverBackColor(0x0000FF00);
    EXPECT_EQ(b.HoverColorLocks(), 1);
    b.BackColor(0x00102030);
    EXPECT_EQ(b.HoverBackColor(), 0x0000FF00u); // no longer follows
    b.HoverForeColor(0x00FF0000);
    EXPECT_EQ(b.HoverColorLocks(), 3);
    b.HoverColorLocks(0);
    EXPECT_EQ(b.HoverBackColor(), 0x00102030u);
    EXPECT_EQ(b.HoverForeColor(), 0x000000FFu);
    b.GradientMode(3);
    b.GradientColor(0x00ABCDEF);
    EXPECT_EQ(b.HoverBackColor(), 0x00ABCDEFu); // with a gradient it follows the gradient colour
}

TEST_F(ButtonTest, PictureAndShapeRules) {
    gwButtons_H& b = Make();
    auto icon = Picture::FromIcon(CopyIcon(LoadIconW(nullptr, IDI_INFORMATION)));
    auto bitmap = Picture::FromBitmap(CreateBitmap(8, 8, 1, 32, nullptr));
    b.SetPicture(icon);
    b.ButtonShape(7); // icons cannot cut a shape
    EXPECT_EQ(b.ButtonShape(), 0);
    b.PictureAlign(4);
    b.CaptionAlign(0); // top-centred pictures keep the caption centred
    EXPECT_EQ(b.CaptionAlign(), 2);
    b.SetPicture(bitmap);
    b.CaptionAlign(0);
    EXPECT_EQ(b.CaptionAlign(), 2);
    b.PictureAlign(0);
    b.CaptionAlign(0);
    EXPECT_EQ(b.CaptionAlign(), 0);
    b.ButtonShape(8); // a bitmap cuts a shape; the picture is scaled and the caption centred
    EXPECT_EQ(b.ButtonShape(), 8);
    EXPECT_EQ(b.PictureSize(), 4);
    EXPECT_EQ(b.CaptionAlign(), 2);
    b.PictureSize(1); // refused on custom shapes
    EXPECT_EQ(b.PictureSize(), 4);
    b.SetPicture(icon); // an icon turns a custom shape back into a rectangle
    EXPECT_EQ(b.ButtonShape(), 0);
}

// ---------------------------------------------------------------------------------------
// Clicks

TEST_F(ButtonTest, LeftClickClicksRightClickOnlyRaisesMouseEvents) {
    gwButtons_H& command = Make();
    LeftClick(command);
    EXPECT_EQ(recorder.clicks, 1);
    EXPECT_EQ(recorder.mouseDowns, std::vector<short>{1});
    EXPECT_EQ(recorder.mouseUps, std::vector<short>{1});

    SendMessageW(command.hwnd(), WM_RBUTTONDOWN, MK_RBUTTON, ClientPoint(20, 10));
    SendMessageW(command.hwnd(), WM_RBUTTONUP, 0, ClientPoint(20, 10));
    EXPECT_EQ(recorder.clicks, 1);
    EXPECT_EQ(recorder.mouseDowns, (std::vector<short>{1, 2}));
    EXPECT_EQ(recorder.mouseUps, (std::vector<short>{1, 2}));

    // A release outside the button is no click, nor is a release over it of a press that
    // began elsewhere.
    SendMessageW(command.hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, ClientPoint(20, 10));
    SendMessageW(command.hwnd(), WM_LBUTTONUP, 0, ClientPoint(300, 10));
    SendMessageW(command.hwnd(), WM_LBUTTONUP, 0, ClientPoint(20, 10));
    EXPECT_EQ(recorder.clicks, 1);
    EXPECT_EQ(recorder.mouseUps, (std::vector<short>{1, 2, 1, 1}));

    gwButtons_H& check = Make({10, 60, 105, 97});
    check.Mode(1);
    SendMessageW(check.hwnd(), WM_RBUTTONDOWN, MK_RBUTTON, ClientPoint(20, 10));
    SendMessageW(check.hwnd(), WM_RBUTTONUP, 0, ClientPoint(20, 10));
    EXPECT_FALSE(check.Value());
    LeftClick(check);
    EXPECT_TRUE(check.Value());
    LeftClick(check);
    EXPECT_FALSE(check.Value());
    EXPECT_EQ(recorder.clicks, 3);
}

TEST_F(ButtonTest, DoubleClickGivesOneClickAndOneDoubleClick) {
    gwButtons_H& b = Make();
    LeftClick(b);
    SendMessageW(b.hwnd(), WM_LBUTTONDBLCLK, MK_LBUTTON, ClientPoint(20, 10));
    SendMessageW(b.hwnd(), WM_LBUTTONUP, 0, ClientPoint(20, 10));
    EXPECT_EQ(recorder.clicks, 1);
    EXPECT_EQ(recorder.doubleClicks, 1);
    EXPECT_EQ(recorder.mouseDowns.size(), 2u);
    LeftClick(b); // the next single click counts again
    EXPECT_EQ(recorder.clicks, 2);

    // The second press of a right or middle double click is a MouseDown like the first.
    recorder.mouseDowns.clear();
    for (const auto& [down, dbl, up, flag] :
         {std::tuple{WM_RBUTTONDOWN, WM_RBUTTONDBLCLK, WM_RBUTTONUP, MK_RBUTTON},
          std::tuple{WM_MBUTTONDOWN, WM_MBUTTONDBLCLK, WM_MBUTTONUP, MK_MBUTTON}}) {
        for (const UINT press : {down, dbl}) {
            SendMessageW(b.hwnd(), press, flag, ClientPoint(20, 10));
            SendMessageW(b.hwnd(), up, 0, ClientPoint(20, 10));
        }
    }
    EXPECT_EQ(recorder.mouseDowns, (std::vector<short>{2, 2, 4, 4}));
    EXPECT_EQ(recorder.clicks, 2);
}

TEST_F(ButtonTest, SpaceClicksOnceEvenWhenHeld) {
    gwButtons_H& b = Make();
    SetFocus(b.hwnd());
    SendMessageW(b.hwnd(), WM_KEYDOWN, VK_SPACE, 0x00390001);
    SendMessageW(b.hwnd(), WM_KEYDOWN, VK_SPACE, 0x40390001); // auto-repeat
    SendMessageW(b.hwnd(), WM_KEYDOWN, VK_SPACE, 0x40390001);
    EXPECT_EQ(recorder.clicks, 0);
    SendMessageW(b.hwnd(), WM_KEYUP, VK_SPACE, 0xC0390001);
    EXPECT_EQ(recorder.clicks, 1);
    EXPECT_EQ(recorder.keyDowns, (std::vector<short>{32, 32, 32}));
    // A second release without a press is no click.
    SendMessageW(b.hwnd(), WM_KEYUP, VK_SPACE, 0xC0390001);
    EXPECT_EQ(recorder.clicks, 1);

    // Check box: Space toggles; its KeyUp comes before the Click.
    gwButtons_H& check = Make({10, 60, 105, 97});
    check.Mode(1);
    SendMessageW(check.hwnd(), WM_KEYDOWN, VK_SPACE, 0x00390001);
    SendMessageW(check.hwnd(), WM_KEYUP, VK_SPACE, 0xC0390001);
    EXPECT_TRUE(check.Value());
    EXPECT_EQ(recorder.clicks, 2);
}

// Events whose handler destroys their own button, as a host that closes a form from a
// button's event does.
class Destroyer : public Recorder {
public:
    enum class When { MouseUp, Click, KeyUp };
    explicit Destroyer(When when) : m_when(when) {}
    ButtonPtr* owner = nullptr;

    void MouseUp(short button, short shift, float x, float y) override {
        Recorder::MouseUp(button, shift, x, y);
        Drop(When::MouseUp);
    }
    void Click() override {
        Recorder::Click();
        Drop(When::Click);
    }
    void KeyUp(short& key, short& shift) override {
        Recorder::KeyUp(key, shift);
        Drop(When::KeyUp);
    }

private:
    void Drop(When when) {
        if (when == m_when && owner && *owner) {
            owner->reset();
        }
    }
    When m_when;
};

TEST_F(ButtonTest, AHandlerThatDestroysItsButtonEndsTheMessageThere) {
    struct Case {
        Destroyer::When when;
        std::int32_t mode;
        bool space;
        int clicks;
        size_t keyUps;
    };
    // Check box released with the mouse, destroyed by MouseUp: no click follows. Command
    // button released with Space, destroyed by Click: no KeyUp follows. Check box released
    // with Space, destroyed by its KeyUp (raised first in that mode): no click follows.
    const Case cases[] = {{Destroyer::When::MouseUp, 1, false, 0, 0},
                          {Destroyer::When::Click, 0, true, 1, 0},
                          {Destroyer::When::KeyUp, 1, true, 0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.when));
        Destroyer events(c.when);
        gwButtons_H& b = Make({10, 10, 105, 47}, nullptr, &events);
        b.Mode(c.mode);
        events.owner = &buttons.back();
        const HWND hwnd = b.hwnd();
        if (c.space) {
            SetFocus(hwnd);
            SendMessageW(hwnd, WM_KEYDOWN, VK_SPACE, 0x00390001);
            SendMessageW(hwnd, WM_KEYUP, VK_SPACE, 0xC0390001);
        } else {
            SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, ClientPoint(20, 10));
            SendMessageW(hwnd, WM_LBUTTONUP, 0, ClientPoint(20, 10));
        }
        EXPECT_EQ(buttons.back(), nullptr);
        EXPECT_FALSE(IsWindow(hwnd));
        EXPECT_EQ(events.clicks, c.clicks);
        EXPECT_EQ(events.keyUps.size(), c.keyUps);
        buttons.pop_back();
        Pump(60); // a hover timer left behind would fire here
    }
}

TEST_F(ButtonTest, DragEventsOfTheHostReachTheHandlerAndItsAnswersComeBack) {
    struct DragEvents : Recorder {
        std::vector<std::string> seen;
        void OLEStartDrag(IDataObject*, long& allowed) override {
            seen.push_back("start " + std::to_string(allowed));
            allowed = DROPEFFECT_COPY;
        }
        void OLEDragOver(IDataObject*, long& effect, short button, short shift, float x, float y,
                         short state) override {
            seen.push_back("over " + std::to_string(button) + std::to_string(shift) +
                           std::to_string(static_cast<int>(x)) +
                           std::to_string(static_cast<int>(y)) + std::to_string(state));
            effect = DROPEFFECT_NONE;
        }
        void OLEGiveFeedback(long&, bool& defaultCursors) override {
            seen.push_back("feedback");
            defaultCursors = false;
        }
        void OLESetData(IDataObject*, short& format) override {
            seen.push_back("setdata " + std::to_string(format));
            format = CF_UNICODETEXT;
        }
        void OLEDragDrop(IDataObject*, long& effect, short, short, float, float) override {
            seen.push_back("drop " + std::to_string(effect));
        }
        void OLECompleteDrag(long& effect) override {
            seen.push_back("complete " + std::to_string(effect));
        }
    } events;
    gwButtons_H& b = Make({10, 10, 105, 47}, nullptr, &events);

    long effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    b.ForwardOLEStartDrag(nullptr, effect);
    EXPECT_EQ(effect, DROPEFFECT_COPY);
    b.ForwardOLEDragOver(nullptr, effect, 1, 2, 3.0f, 4.0f, 5);
    EXPECT_EQ(effect, DROPEFFECT_NONE);
    bool defaults = true;
    b.ForwardOLEGiveFeedback(effect, defaults);
    EXPECT_FALSE(defaults);
    short format = CF_TEXT;
    b.ForwardOLESetData(nullptr, format);
    EXPECT_EQ(format, CF_UNICODETEXT);
    effect = DROPEFFECT_MOVE;
    b.ForwardOLEDragDrop(nullptr, effect, 1, 0, 0.0f, 0.0f);
    b.ForwardOLECompleteDrag(effect);
    EXPECT_EQ(events.seen, (std::vector<std::string>{"start 3", "over 12345", "feedback",
                                                     "setdata 1", "drop 2", "complete 2"}));
}

TEST_F(ButtonTest, ArrowKeysGoToTheContainerNotToKeyDown) {
    gwButtons_H& b = Make();
    const std::pair<WPARAM, LPARAM> expected[] = {
        {VK_RIGHT, 0x004D0001}, {VK_DOWN, 0x00500001}, {VK_LEFT, 0x004B0001}, {VK_UP, 0x00480001}};
    for (const auto& [key, lParam] : expected) {
        SendMessageW(b.hwnd(), WM_KEYDOWN, key, 0);
    }
    Pump(20);
    ASSERT_EQ(containerLog.keyDowns.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(containerLog.keyDowns[i].first, expected[i].first);
        EXPECT_EQ(containerLog.keyDowns[i].second, expected[i].second);
    }
    EXPECT_TRUE(recorder.keyDowns.empty());
    SendMessageW(b.hwnd(), WM_KEYDOWN, 'A', 0);
    SendMessageW(b.hwnd(), WM_KEYUP, VK_SHIFT, 0);
    SendMessageW(b.hwnd(), WM_KEYUP, 'A', 0);
    EXPECT_EQ(recorder.keyDowns, std::vector<short>{'A'});
    EXPECT_EQ(recorder.keyUps, std::vector<short>{'A'});
    EXPECT_EQ(SendMessageW(b.hwnd(), WM_GETDLGCODE, 0, 0) & DLGC_WANTARROWS, DLGC_WANTARROWS);
}

TEST_F(ButtonTest, AccessKeyComesFromTheLastSingleAmpersand) {
    gwButtons_H& b = Make();
    // In turn: a caption without a marker leaves the key as it was; "&&" is a literal ampersand.
    const std::pair<const wchar_t*, const wchar_t*> captions[] = {
        {L"&Save and &Exit", L"E"}, {L"No marker", L"E"}, {L"Save && Exit", L""},
        {L"&Copy && Paste", L"C"},  {L"Trailing&", L""},  {L"备份(&B)", L"B"}};
    for (const auto& [caption, key] : captions) {
        b.Caption(caption);
        EXPECT_EQ(b.AccessKeys(), key) << caption;
    }
    EXPECT_EQ(quor::test::TextOf(b.hwnd()), L"备份(&B)");
}

TEST_F(ButtonTest, AccessKeysClickThroughTheHostAndInAPlainWindow) {
    gwButtons_H& command = Make();
    command.Caption(L"&Backup");
    gwButtons_H& check = Make({10, 60, 105, 97});
    check.Caption(L"&Keep");
    check.Mode(1);

    command.AccessKeyPress('b');
    EXPECT_EQ(recorder.clicks, 1);
    command.AccessKeyPress(13); // Enter on a command button (the host's default button)
    EXPECT_EQ(recorder.clicks, 2);
    check.AccessKeyPress(13); // Enter and Esc leave check boxes alone
    check.AccessKeyPress(27);
    EXPECT_EQ(recorder.clicks, 2);
    EXPECT_FALSE(check.Value());

    // Alt+K typed while the command button has the focus reaches the check box.
    SetFocus(command.hwnd());
    SendMessageW(command.hwnd(), WM_SYSCHAR, L'k', 0x20250001);
    EXPECT_EQ(recorder.clicks, 3);
    EXPECT_TRUE(check.Value());
    EXPECT_EQ(GetFocus(), check.hwnd());
    // The container routes Alt+key from anywhere; unknown keys are left to others.
    EXPECT_TRUE(gwButtons_H::RouteAccessKey(container, L'B'));
    EXPECT_EQ(recorder.clicks, 4);
    EXPECT_FALSE(gwButtons_H::RouteAccessKey(container, L'z'));
    // A disabled button does not take its access key.
    command.Enabled(false);
    EXPECT_FALSE(gwButtons_H::RouteAccessKey(container, L'B'));
    // Enter on the focused button: a command button clicks, a check box does not.
    command.Enabled(true);
    SetFocus(command.hwnd());
    SendMessageW(command.hwnd(), WM_KEYDOWN, VK_RETURN, 0x001C0001);
    SendMessageW(command.hwnd(), WM_KEYDOWN, VK_RETURN, 0x401C0001); // auto-repeat
    EXPECT_EQ(recorder.clicks, 5);
    SetFocus(check.hwnd());
    SendMessageW(check.hwnd(), WM_KEYDOWN, VK_RETURN, 0x001C0001);
    EXPECT_EQ(recorder.clicks, 5);
    EXPECT_TRUE(check.Value());
    // The dialog manager's BM_CLICK is an access-key press.
    SendMessageW(check.hwnd(), BM_CLICK, 0, 0);
    EXPECT_FALSE(check.Value());
    EXPECT_EQ(recorder.clicks, 6);
}

// ---------------------------------------------------------------------------------------
// Option groups

TEST_F(ButtonTest, OptionGroupKeepsOneSelectedAndItsSlotsOnTheContainer) {
    gwButtons_H& a = Make({10, 10, 105, 47});
    gwButtons_H& b = Make({10, 60, 105, 97});
    gwButtons_H& c = Make({10, 110, 105, 147});
    for (gwButtons_H* button : {&a, &b, &c}) {
        button->Mode(2);
    }
    ASSERT_EQ(OptCount(container), 3);
    EXPECT_EQ(Prop(container, "gw_Obj1"), &a);
    EXPECT_EQ(Prop(container, "gw_Obj2"), &b);
    EXPECT_EQ(Prop(container, "gw_Obj3"), &c);

    LeftClick(a);
    EXPECT_TRUE(a.Value());
    EXPECT_EQ(recorder.clicks, 1);
    LeftClick(a); // already selected: nothing
    EXPECT_TRUE(a.Value());
    EXPECT_EQ(recorder.clicks, 1);
    LeftClick(b);
    EXPECT_FALSE(a.Value());
    EXPECT_TRUE(b.Value());
    EXPECT_EQ(recorder.clicks, 2);
    c.Value(true);
    EXPECT_FALSE(b.Value());

    // B leaves the group: A and C close up into slots 1 and 2.
    b.Mode(0);
    EXPECT_EQ(OptCount(container), 2);
    EXPECT_EQ(Prop(container, "gw_Obj1"), &a);
    EXPECT_EQ(Prop(container, "gw_Obj2"), &c);
    EXPECT_EQ(Prop(container, "gw_Obj3"), nullptr);
    EXPECT_FALSE(b.Value());
    a.Value(true); // the group still works after closing up
    EXPECT_FALSE(c.Value());

    // Destroyed, A leaves the group too and C closes up into slot 1.
    buttons[0].reset();
    EXPECT_EQ(OptCount(container), 1);
    EXPECT_EQ(Prop(container, "gw_Obj1"), &c);
    c.Value(true); // would reach the destroyed button if it were still registered
    EXPECT_TRUE(c.Value());
    c.Mode(1);
    EXPECT_EQ(Prop(container, "gw_OptCount"), nullptr);
    EXPECT_EQ(Prop(container, "gw_Obj1"), nullptr);
    EXPECT_TRUE(c.Value()); // a check box keeps its value
}

TEST_F(ButtonTest, FocusSelectsAnOptionButtonOnlyWhenTheGroupHasNoSelection) {
    gwButtons_H& a = Make({10, 10, 105, 47});
    gwButtons_H& b = Make({10, 60, 105, 97});
    a.Mode(2);
    b.Mode(2);
    SetFocus(b.hwnd());
    Pump();
    EXPECT_TRUE(b.Value());
    EXPECT_EQ(recorder.clicks, 1);
    SetFocus(a.hwnd());
    Pump();
    EXPECT_FALSE(a.Value());
    EXPECT_EQ(recorder.clicks, 1);
    // Reaching it with an arrow key selects it.
    SendMessageW(a.hwnd(), WM_KEYUP, VK_DOWN, 0);
    EXPECT_TRUE(a.Value());
    EXPECT_FALSE(b.Value());
    EXPECT_EQ(recorder.clicks, 2);
}

// ---------------------------------------------------------------------------------------
// Hover tracking (real cursor)

TEST_F(ButtonTest, HoverRaisesMouseOnButtonOnceOnEntryAndOnceOnLeaving) {
    gwButtons_H& b = Make();
    const POINT inside = ScreenPoint(b, 40, 18);
    SetCursorPos(inside.x, inside.y);
    ASSERT_TRUE(PumpUntil([&] { return !recorder.onButton.empty(); }));
    EXPECT_EQ(Prop(b.hwnd(), "gw_ClassID"), &b);
    EXPECT_EQ(reinterpret_cast<UINT_PTR>(Prop(b.hwnd(), "gw_TimerID")), 237u);
    SetCursorPos(inside.x + 5, inside.y + 3);
    Pump(150);
    EXPECT_EQ(recorder.onButton, std::vector<bool>{true});

    SetCursorPos(kLeft + 540, kTop + 380);
    ASSERT_TRUE(PumpUntil([&] { return recorder.onButton.size() >= 2; }));
    Pump(150);
    EXPECT_EQ(recorder.onButton, (std::vector<bool>{true, false}));
}

TEST_F(ButtonTest, PressedLookDropsWhenTheCursorLeavesAndReturnsWithTheButtonHeld) {
    gwButtons_H& b = Make();
    b.ButtonStyle(2);
    const int x = 47, y = 18; // face pixel, away from the caption
    const POINT inside = ScreenPoint(b, x, y);
    SetCursorPos(inside.x, inside.y);
    ASSERT_TRUE(PumpUntil([&] { return !recorder.onButton.empty(); }));

    const COLORREF light = ShadeColor(ToRGB(kButtonFace), 48, true);
    const COLORREF dark = ShadeColor(light, -32, true);
    const int amount = static_cast<int>(std::lround(-25.0 * y / 37));
    const COLORREF normalFace = ShadeColor(light, amount, true);
    const COLORREF pressedFace = ShadeColor(dark, amount, true);
    ASSERT_NE(normalFace, pressedFace);

    SendMessageW(b.hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, ClientPoint(x, y));
    Pump(20);
    EXPECT_EQ(Pixel(b, x, y), pressedFace);

    SetCursorPos(kLeft + 540, kTop + 380);
    ASSERT_TRUE(PumpUntil([&] { return recorder.onButton.size() >= 2; }));
    EXPECT_EQ(Pixel(b, x, y), normalFace);

    // Back over the button with the left button still down.
    SetCursorPos(inside.x, inside.y);
    SendMessageW(b.hwnd(), WM_MOUSEMOVE, MK_LBUTTON, ClientPoint(x, y));
    Pump(20);
    EXPECT_EQ(recorder.onButton.back(), true);
    EXPECT_EQ(Pixel(b, x, y), pressedFace);
    SendMessageW(b.hwnd(), WM_LBUTTONUP, 0, ClientPoint(x, y));
    Pump(20);
    EXPECT_EQ(recorder.clicks, 1);
    EXPECT_EQ(Pixel(b, x, y), normalFace);
}

TEST_F(ButtonTest, WindowDestroyedWhileHoveringStopsTheTimerAndDropsItsProperties) {
    gwButtons_H& b = Make();
    const POINT inside = ScreenPoint(b, 40, 18);
    SetCursorPos(inside.x, inside.y);
    ASSERT_TRUE(PumpUntil([&] { return !recorder.onButton.empty(); }));
    const HWND hwnd = b.hwnd();
    // Watch the properties from inside the window's own destruction.
    struct Seen {
        HANDLE classId = nullptr, timerId = nullptr;
        bool checked = false;
    };
    static Seen seen;
    seen = {};
    SetWindowSubclass(
        hwnd,
        [](HWND w, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) -> LRESULT {
            const LRESULT result = DefSubclassProc(w, msg, wp, lp);
            if (msg == WM_DESTROY) {
                seen = {GetPropA(w, "gw_ClassID"), GetPropA(w, "gw_TimerID"), true};
            }
            return result;
        },
        1, 0);
    DestroyWindow(hwnd);
    Pump(150);
    EXPECT_TRUE(seen.checked);
    EXPECT_EQ(seen.classId, nullptr);
    EXPECT_EQ(seen.timerId, nullptr);
    EXPECT_EQ(b.hwnd(), nullptr);
    SetCursorPos(kLeft + 540, kTop + 380);
    Pump(150);
    EXPECT_EQ(recorder.onButton, std::vector<bool>{true}); // no event from a dead button
}

// ---------------------------------------------------------------------------------------
// Persistence

TEST_F(ButtonTest, WrittenSettingsLeaveOutDefaultsAndKeepTheirOrder) {
    gwButtons_H& b = Make();
    PropertyBag defaults;
    b.WriteProperties(defaults);
    EXPECT_EQ(defaults.Keys(),
              (std::vector<std::wstring>{L"caption", L"font", L"mode", L"value", L"cback"}));

    b.CaptionAlign(0);
    b.ButtonStyle(2);
    b.GradientColor(0x00ABCDEF);
    b.GradientMode(1); // the hover back colour follows the gradient colour
    b.Mode(1);
    b.Value(true);
    b.Enabled(false);
    b.MousePointer(11);
    PropertyBag changed;
    b.WriteProperties(changed);
    EXPECT_EQ(changed.Keys(),
              (std::vector<std::wstring>{L"caption", L"capalign", L"backstyle", L"font", L"cbhover",
                                         L"cgradient", L"gradient", L"mode", L"value", L"enabled",
                                         L"cback", L"mpointer"}));
    EXPECT_EQ(changed.ReadLong(L"CapAlign", 2), 0);
    EXPECT_EQ(changed.ReadLong(L"cBHover", 0), 0x00ABCDEF);
}

TEST_F(ButtonTest, SettingsSurviveARoundTripThroughTheBag) {
    gwButtons_H& original = Make();
    original.Caption(L"恢复(&R)");
    original.CaptionAlign(0);
    original.CaptionStyle(2);
    original.ButtonStyle(6);
    original.Font(FontSpec{L"宋体", 12.0, false, true});
    original.ForeColor(0x00112233);
    original.BackColor(0x00445566);
    original.HoverBackColor(0x00778899);
    original.GradientColor(0x00AABBCC);
    original.GradientMode(4);
    original.Mode(2);
    original.Value(true);
    original.ShowFocusRect(false);
    original.PictureAlign(3);
    original.PictureSize(2);
    original.MousePointer(2);
    PropertyBag bag;
    original.WriteProperties(bag);
    const auto settings = [](const gwButtons_H& b) {
        return std::tuple(b.Caption(), b.AccessKeys(), b.CaptionAlign(), b.CaptionStyle(),
                          b.ButtonStyle(), b.Font(), b.ForeColor(), b.BackColor(),
                          b.HoverBackColor(), b.HoverColorLocks(), b.GradientColor(),
                          b.GradientMode(), b.Mode(), b.Value(), b.ShowFocusRect(),
                          b.PictureAlign(), b.PictureSize(), b.MousePointer());
    };
    const auto expected = settings(original);

    gwButtons_H& copy = Make({10, 60, 105, 97}, &bag);
    EXPECT_EQ(settings(copy), expected);
    // The loaded option button joined the group, and being selected it deselected the original.
    EXPECT_EQ(OptCount(container), 2);
    EXPECT_EQ(Prop(container, "gw_Obj2"), &copy);
    EXPECT_FALSE(original.Value());

    PropertyBag again;
    copy.WriteProperties(again);
    EXPECT_EQ(again.Keys(), bag.Keys());
}

TEST_F(ButtonTest, DamagedStoredValuesReadAsDefaults) {
    // Values outside their range read as their defaults; a custom shape without picture is
    // rectangular; a command button is never selected.
    PropertyBag damaged;
    damaged.Write(L"backstyle", 99);
    damaged.Write(L"SHAPE", 7);
    damaged.Write(L"Mode", 0);
    damaged.Write(L"Value", true);
    damaged.Write(L"ImgSize", 17);
    damaged.Write(L"CapAlign", -4);
    gwButtons_H& d = Make({10, 10, 105, 47}, &damaged);
    EXPECT_EQ(d.ButtonStyle(), 0);
    EXPECT_EQ(d.ButtonShape(), 0);
    EXPECT_FALSE(d.Value());
    EXPECT_EQ(d.PictureSize(), 0);
    EXPECT_EQ(d.CaptionAlign(), 2);
}

} // namespace
} // namespace kavsafe::controls::test
