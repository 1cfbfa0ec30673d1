// The real KavSafe.exe window driven as a person drives it: mouse clicks on the buttons, the
// list and the link (SetCursorPos and SendInput at the control's place on the screen), real
// message boxes answered, the shell's folder browser. Needs a display (Xvfb) and the stand-in
// QUOR_MySQL of the job fixture.
#include "frmKavSafe.h"

#include "JobFixture.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <functional>

using namespace kavsafe;
using namespace kavsafe::test;
using Control = frmKavSafe::Control;

namespace {

constexpr wchar_t kCaption[] = L"QUOR备份管理";
constexpr wchar_t kBackupQuestion[] = L"备份过程中将暂停服务。\r\n\r\n您确定开始执行备份？";

// A left click at a point of the screen, through the system's input queue.
void ClickAt(POINT screen) {
    SetCursorPos(screen.x, screen.y);
    for (const DWORD flags : {DWORD{MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE},
                              DWORD{MOUSEEVENTF_LEFTDOWN}, DWORD{MOUSEEVENTF_LEFTUP}}) {
        INPUT input{};
        input.type = INPUT_MOUSE;
        input.mi.dx = MulDiv(screen.x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
        input.mi.dy = MulDiv(screen.y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
        input.mi.dwFlags = flags;
        SendInput(1, &input, sizeof(INPUT));
        Sleep(60);
    }
}

// A click in the middle of a control.
void Click(HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    ClickAt({(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2});
}

// A key pressed and released through the system's input queue, Shift held when asked.
void PressKey(WORD key, bool shift = false) {
    const std::pair<WORD, DWORD> strokes[] = {
        {VK_SHIFT, 0}, {key, 0}, {key, KEYEVENTF_KEYUP}, {VK_SHIFT, KEYEVENTF_KEYUP}};
    for (const auto& [vk, flags] : strokes) {
        if (vk != VK_SHIFT || shift) {
            INPUT input{};
            input.type = INPUT_KEYBOARD;
            input.ki.wVk = vk;
            input.ki.dwFlags = flags;
            SendInput(1, &input, sizeof(INPUT));
            Sleep(40);
        }
    }
}

// The control that has the keyboard focus in the window's thread.
HWND FocusOf(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus
                                                                              : nullptr;
}

// True once the window's thread has processed a message sent to it: the window answers.
bool Responds(HWND window) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result) != 0;
}

// The shell's folder browser of the process: a visible window holding a folder tree.
HWND WaitForBrowser(DWORD processId) {
    std::pair<DWORD, HWND> search{processId, nullptr};
    Eventually([&] {
        EnumWindows(
            [](HWND hwnd, LPARAM param) -> BOOL {
                auto* found = reinterpret_cast<std::pair<DWORD, HWND>*>(param);
                DWORD owner = 0;
                GetWindowThreadProcessId(hwnd, &owner);
                if (owner == found->first && IsWindowVisible(hwnd) &&
                    FindWindowExW(hwnd, nullptr, L"SysTreeView32", nullptr)) {
                    found->second = hwnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.second != nullptr;
    });
    return search.second;
}

// Selects a folder in another process's browser: the message's path lives in that process.
void SelectInBrowser(HWND browser, DWORD processId, const std::wstring& path) {
    const quor::KernelHandle process(
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, processId));
    ASSERT_TRUE(process);
    const size_t bytes = (path.size() + 1) * sizeof(wchar_t);
    void* remote =
        VirtualAllocEx(process.get(), nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(remote, nullptr);
    WriteProcessMemory(process.get(), remote, path.c_str(), bytes, nullptr);
    SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(remote));
    VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
}

// The real program in an installation root prepared for jobs, with the settings naming
// the data and backup folders, and three listed backups and decoys in the backup folder.
class WindowProgramTest : public JobTest {
protected:
    void SetUp() override {
        JobTest::SetUp();
        ASSERT_TRUE(MakeDirs(m_root / L"Tmp"));
        ASSERT_TRUE(CopyInto(BinProgram(L"KavSafe.exe"), m_program));
        ASSERT_TRUE(WriteBytes(m_root / L"settings.ini",
                               quor::ToAnsi(L"[QuorKAV]\r\nDataPath=" + m_state.DataDir +
                                            L"\r\nBakPath=" + m_state.BackupDir + L"\r\n")));
        for (const wchar_t* name :
             {L"Data-20261205-101010.quordb", L"Data-20261206-090000.quordb",
              L"Data-20261204-235959.quordb", L"Data-20261207-000000.QUORDB", L"notes.txt"}) {
            ASSERT_TRUE(WriteBytes(m_state.BackupDir + name, "x"));
        }
    }
    void TearDown() override {
        if (m_started.process && !WaitExit(m_started, 0)) {
            TerminateProcess(m_started.process.get(), 1);
            WaitExit(m_started, 5000);
        }
    }

    // Starts KavSafe without arguments and waits for its window.
    void Launch() {
        m_started = Start(m_program, L"");
        m_main = WaitForWindow(m_started.id, nullptr, kCaption);
        ASSERT_NE(m_main, nullptr);
        ASSERT_TRUE(Responds(m_main));
    }

    HWND Item(Control control) const {
        if (control == Control::InfoLabel || control == Control::Progress ||
            control == Control::Share) {
            return GetDlgItem(Item(Control::InfoPanel), frmKavSafe::ControlId(control));
        }
        return GetDlgItem(m_main, frmKavSafe::ControlId(control));
    }
    bool Enabled(Control control) const { return IsWindowEnabled(Item(control)) != FALSE; }
    bool PanelShown() const { return IsWindowVisible(Item(Control::InfoPanel)) != FALSE; }

    std::vector<std::wstring> Entries() const {
        const HWND list = Item(Control::BackupList);
        std::vector<std::wstring> entries;
        const auto count = SendMessageW(list, LB_GETCOUNT, 0, 0);
        for (WPARAM i = 0; i < static_cast<WPARAM>(std::max<LRESULT>(count, 0)); ++i) {
            wchar_t text[256] = L"";
            SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
            entries.push_back(text);
        }
        return entries;
    }

    // Clicks the list entry with this text where it shows on the screen.
    void ClickEntry(const std::wstring& entry) {
        const std::vector<std::wstring> entries = Entries();
        const auto found = std::find(entries.begin(), entries.end(), entry);
        ASSERT_NE(found, entries.end()) << quor::ToUtf8(entry);
        const HWND list = Item(Control::BackupList);
        const auto index = static_cast<int>(found - entries.begin());
        const auto height = static_cast<int>(SendMessageW(list, LB_GETITEMHEIGHT, 0, 0));
        const auto top = static_cast<int>(SendMessageW(list, LB_GETTOPINDEX, 0, 0));
        POINT point{20, (index - top) * height + height / 2};
        ClientToScreen(list, &point);
        ClickAt(point);
        ASSERT_TRUE(Eventually([&] { return SendMessageW(list, LB_GETCURSEL, 0, 0) == index; }));
    }

    // The message box of the program with this title, once it shows the text.
    HWND WaitForBox(const std::wstring& title, const std::wstring& text) {
        HWND box = nullptr;
        Eventually(
            [&] {
                box = WaitForWindow(m_started.id, L"#32770", title, 100);
                return box && ReadMessageBox(box).text == text;
            },
            60000);
        return box && ReadMessageBox(box).text == text ? box : nullptr;
    }

    // The close box: the system command it sends.
    void RequestClose() { PostMessageW(m_main, WM_SYSCOMMAND, SC_CLOSE, 0); }

    // Clicks the link, lets `choose` answer the shell's folder browser and waits for it to go.
    void ChooseFolder(const std::function<void(HWND)>& choose) {
        Click(Item(Control::ChgPath));
        const HWND browser = WaitForBrowser(m_started.id);
        ASSERT_NE(browser, nullptr);
        choose(browser);
        ASSERT_TRUE(Eventually([&] { return !IsWindow(browser); }));
        EXPECT_TRUE(Responds(m_main));
    }

    std::wstring StoredBakPath() const {
        wchar_t value[1024] = L"";
        GetPrivateProfileStringW(L"QuorKAV", L"BakPath", L"<none>", value, 1024,
                                 (m_root / L"settings.ini").c_str());
        return value;
    }

    std::wstring m_program = m_root / L"KavSafe.exe";
    Started m_started;
    HWND m_main = nullptr;
};

// The texts, the list and the busy guard of each handler are the in-process suite's; here the
// real message boxes, the real input path and the program's own message loop.
TEST_F(WindowProgramTest, BackupWithTheMouseKeepsTheWindowBusyButResponsive) {
    // The archiver moves its progress in six steps before it packs.
    SetEnvironmentVariableW(L"QUOR_SPY_PROGRESS_STEPS", L"6");
    Launch();
    SetEnvironmentVariableW(L"QUOR_SPY_PROGRESS_STEPS", nullptr);
    ASSERT_EQ(Entries().size(), 3u);

    // Another process's job holds the lock: the backup waits as long as the test wants.
    ASSERT_TRUE(HoldJobLock());
    Click(Item(Control::Backup));
    HWND box = WaitForBox(L"备份数据", kBackupQuestion);
    ASSERT_NE(box, nullptr);
    MessageBoxView view = ReadMessageBox(box);
    EXPECT_TRUE(view.hasYes && view.hasNo && view.hasIcon);
    EXPECT_FALSE(view.hasOk || view.hasCancel);
    EXPECT_EQ(view.defaultButton, IDYES);
    EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
    PressButton(box, IDYES);

    // Busy: the panel over the list with its text, every button disabled.
    ASSERT_TRUE(Eventually([&] { return PanelShown(); }));
    EXPECT_EQ(TextOf(Item(Control::InfoLabel)), L"正在备份，请稍候...");
    for (const Control button : {Control::Backup, Control::Restore, Control::Delete}) {
        EXPECT_FALSE(Enabled(button));
    }
    EXPECT_TRUE(Responds(m_main));
    // The panel is painted in the workspace colour (a corner away from the label).
    RECT panel{};
    GetWindowRect(Item(Control::InfoPanel), &panel);
    const HDC screen = GetDC(nullptr);
    EXPECT_EQ(GetPixel(screen, panel.left + 4, panel.top + 4), GetSysColor(COLOR_APPWORKSPACE));
    ReleaseDC(nullptr, screen);

    // A click on the disabled 备份 and the close box are turned away.
    Click(Item(Control::Backup));
    EXPECT_EQ(WaitForWindow(m_started.id, L"#32770", L"备份数据", 1500), nullptr);
    RequestClose();
    EXPECT_TRUE(Responds(m_main));
    EXPECT_TRUE(IsWindow(m_main));

    // Waiting for the lock, the job's total is unknown: a marquee bar and no share.
    const HWND bar = Item(Control::Progress);
    EXPECT_TRUE(IsWindowVisible(bar));
    EXPECT_NE(GetWindowLongPtrW(bar, GWL_STYLE) & PBS_MARQUEE, 0);
    EXPECT_EQ(TextOf(Item(Control::Share)), L"");

    // The job goes on; the bar and the share follow the archiver's progress.
    Release();
    std::vector<int> seen;
    Eventually([&] {
        const auto position = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
        if ((GetWindowLongPtrW(bar, GWL_STYLE) & PBS_MARQUEE) == 0 &&
            (seen.empty() || position != seen.back())) {
            seen.push_back(position);
            EXPECT_EQ(TextOf(Item(Control::Share)), std::to_wstring(position / 10) + L"%");
        }
        return position >= 1000 || !PanelShown();
    });
    EXPECT_GE(seen.size(), 3u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    // The result keeps the window busy until it is acknowledged.
    box = WaitForBox(kCaption, L"备份成功！");
    ASSERT_NE(box, nullptr);
    view = ReadMessageBox(box);
    EXPECT_TRUE(view.hasOk && view.hasIcon);
    EXPECT_FALSE(view.hasYes || view.hasNo);
    RequestClose();
    EXPECT_TRUE(Responds(m_main));
    EXPECT_TRUE(PanelShown());
    PressButton(box, IDOK);
    ASSERT_TRUE(Eventually([&] { return !PanelShown() && Entries().size() == 4; }));
    EXPECT_TRUE(Enabled(Control::Backup));
    EXPECT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));

    // Idle, the close box ends the program.
    RequestClose();
    EXPECT_EQ(WaitExit(m_started), 0u);
}

// The centre pixel of an icon drawn 32 pixels square on white.
COLORREF IconCentre(HICON icon) {
    const HDC screen = GetDC(nullptr);
    const HDC dc = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, 32, 32);
    ReleaseDC(nullptr, screen);
    const HGDIOBJ old = SelectObject(dc, bitmap);
    const RECT all{0, 0, 32, 32};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    DrawIconEx(dc, 0, 0, icon, 32, 32, 0, nullptr, DI_NORMAL);
    const COLORREF centre = GetPixel(dc, 16, 20);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return centre;
}

TEST_F(WindowProgramTest, TabReachesTheEnabledButtonsAndEnterPressesThem) {
    Launch();
    // The program file carries its own icon, a blue database, for the window and the shell.
    HICON icon = nullptr;
    ASSERT_EQ(ExtractIconExW(m_program.c_str(), 0, &icon, nullptr, 1), 1u);
    const COLORREF centre = IconCentre(icon);
    DestroyIcon(icon);
    EXPECT_GT(GetBValue(centre), 150) << std::hex << centre;
    EXPECT_LT(GetRValue(centre), 100) << std::hex << centre;
    SetForegroundWindow(m_main);
    ASSERT_TRUE(Eventually([&] { return FocusOf(m_main) == Item(Control::BackupList); }));

    // Restore and delete are disabled, so Tab goes from the list to 备份 and back.
    PressKey(VK_TAB);
    ASSERT_TRUE(Eventually([&] { return FocusOf(m_main) == Item(Control::Backup); }));
    PressKey(VK_TAB);
    EXPECT_TRUE(Eventually([&] { return FocusOf(m_main) == Item(Control::BackupList); }));
    PressKey(VK_TAB, true);
    ASSERT_TRUE(Eventually([&] { return FocusOf(m_main) == Item(Control::Backup); }));

    PressKey(VK_RETURN);
    HWND box = WaitForBox(L"备份数据", kBackupQuestion);
    ASSERT_NE(box, nullptr);
    PressButton(box, IDNO);
    EXPECT_TRUE(Eventually([&] { return IsWindowEnabled(m_main) != FALSE; }));
    EXPECT_EQ(Entries().size(), 3u);
    // The question closed, the focus is back on the button that asked, and Enter asks again.
    SetForegroundWindow(m_main);
    ASSERT_TRUE(Eventually([&] { return FocusOf(m_main) == Item(Control::Backup); }));
    PressKey(VK_RETURN);
    box = WaitForBox(L"备份数据", kBackupQuestion);
    ASSERT_NE(box, nullptr);
    PressButton(box, IDNO);
    RequestClose();
    EXPECT_EQ(WaitExit(m_started), 0u);
}

TEST_F(WindowProgramTest, ClickedEntryIsDeletedWithTheMouse) {
    Launch();
    // The real list reports the click: restore and delete come on.
    ClickEntry(L"Data-20261205-101010");
    ASSERT_TRUE(Eventually([&] { return Enabled(Control::Restore) && Enabled(Control::Delete); }));
    Click(Item(Control::Delete));
    HWND box = WaitForBox(L"删除备份", L"确定删除选中备份？");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(ReadMessageBox(box).defaultButton, IDNO);
    PressButton(box, IDYES);
    ASSERT_TRUE(Eventually([&] { return Entries().size() == 2; }));
    EXPECT_FALSE(quor::FileExists(m_state.BackupDir + L"Data-20261205-101010.quordb"));
    EXPECT_FALSE(Enabled(Control::Restore));
    EXPECT_FALSE(Enabled(Control::Delete));
    RequestClose();
    EXPECT_EQ(WaitExit(m_started), 0u);
}

TEST_F(WindowProgramTest, FolderChoiceThroughTheShellBrowser) {
    const std::wstring other = m_root / L"其他 备份";
    ASSERT_TRUE(MakeDirs(other));
    ASSERT_TRUE(WriteBytes(other + L"\\Data-20270101-080000.quordb", "x"));
    Launch();
    const std::wstring label = TextOf(Item(Control::BackList));

    // The browser has no owner and shows the title; Cancel changes nothing.
    ChooseFolder([](HWND browser) {
        EXPECT_EQ(GetWindow(browser, GW_OWNER), nullptr);
        EXPECT_NE(FindWindowExW(browser, nullptr, nullptr, L"请选择备份路径："), nullptr);
        PressButton(browser, IDCANCEL);
    });
    // The tree's root is the computer itself, which is no folder: choosing it is a cancel.
    ChooseFolder([](HWND browser) {
        const HWND tree = FindWindowExW(browser, nullptr, L"SysTreeView32", nullptr);
        const auto root = SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
        ASSERT_NE(root, 0);
        SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, root);
        ASSERT_TRUE(
            Eventually([&] { return SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0) == root; }));
        PressButton(browser, IDOK);
    });
    EXPECT_EQ(TextOf(Item(Control::BackList)), label);
    EXPECT_EQ(StoredBakPath(), m_state.BackupDir);
    EXPECT_EQ(Entries().size(), 3u);

    // A real folder: used, listed and stored with a trailing backslash.
    ChooseFolder([&](HWND browser) {
        SelectInBrowser(browser, m_started.id, other);
        PressButton(browser, IDOK);
    });
    ASSERT_TRUE(Eventually([&] { return StoredBakPath() == other + L"\\"; }));
    EXPECT_EQ(TextOf(Item(Control::BackList)), L"备份列表(" + other + L"\\)：");
    EXPECT_EQ(Entries(), std::vector<std::wstring>{L"Data-20270101-080000"});
    RequestClose();
    EXPECT_EQ(WaitExit(m_started), 0u);
}

} // namespace
