// The backup manager window in the test process: layout, loading, the list, and each
// handler with recorded dialogs against the real jobs (spy archiver, stand-in QUOR_MySQL).
// Needs a display (Xvfb under scripts/test.sh) and Wine's default 96 DPI.
#include "frmKavSafe.h"

#include "FakeDialogs.h"
#include "JobFixture.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <tuple>

using namespace kavsafe;
using namespace kavsafe::test;
using Control = frmKavSafe::Control;

namespace {

constexpr UINT kQuestion = MB_YESNO | MB_ICONQUESTION;
const std::wstring kBackupQuestion = L"备份过程中将暂停服务。\r\n\r\n您确定开始执行备份？";
const std::wstring kRestoreQuestion =
    L"此操作将覆盖现有数据，且恢复过程中将暂停服务。\r\n\r\n您确定要恢复选中备份？";

LOGFONTW FontOf(HWND control) {
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof(font),
               &font);
    return font;
}

// Runs the callback once from the message loop of a job's wait, 100 ms after it was armed.
struct DuringWait {
    explicit DuringWait(std::function<void()> run) {
        callback = std::move(run);
        ran = false;
        SetTimer(nullptr, 0, 100, Fire);
    }
    ~DuringWait() { callback = nullptr; }
    static void CALLBACK Fire(HWND, UINT, UINT_PTR timer, DWORD) {
        KillTimer(nullptr, timer);
        if (callback && !ran) {
            ran = true;
            callback();
        }
    }
    static inline std::function<void()> callback;
    static inline bool ran = false;
};

// A window over a job-ready installation root: the spy archiver, real data, QUOR_MySQL
// running, the work folder, and the settings file. The backup folder holds three dated
// backups, written out of order, and decoys that are not listed.
class WindowTest : public JobTest {
protected:
    void SetUp() override {
        JobTest::SetUp();
        ASSERT_TRUE(MakeDirs(m_root / L"Tmp"));
        m_state.Settings.IniName(m_root / L"settings.ini");
        for (const wchar_t* name :
             {L"Data-20261205-101010.quordb", L"Data-20261206-090000.quordb",
              L"Data-20261204-235959.quordb", L"Data-20261207-000000.QUORDB",
              L"Data-20261207-000001.quordb.bak", L"Data-20261207-000002.Quordb", L"notes.txt"}) {
            ASSERT_TRUE(WriteBytes(m_state.BackupDir + name, "x"));
        }
        // A folder named like a backup is no backup.
        ASSERT_TRUE(MakeDirs(m_state.BackupDir + L"Data-20261208-000000.quordb"));
    }
    void TearDown() override {
        m_window.reset();
        // Destroying the window posts the quit message meant for the program's loop.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }

    frmKavSafe& Open() {
        m_window = std::make_unique<frmKavSafe>(m_state, m_dialogs);
        EXPECT_TRUE(m_window->Create(GetModuleHandleW(nullptr)));
        return *m_window;
    }

    HWND Item(Control control) const { return m_window->Item(control); }
    bool Enabled(Control control) const { return IsWindowEnabled(Item(control)) != FALSE; }
    // Shown within its parent; the window itself stays hidden in these tests.
    bool Shown(Control control) const {
        return (GetWindowLongW(Item(control), GWL_STYLE) & WS_VISIBLE) != 0;
    }
    HWND List() const { return Item(Control::BackupList); }

    std::vector<std::wstring> Entries() const {
        std::vector<std::wstring> entries;
        const auto count = SendMessageW(List(), LB_GETCOUNT, 0, 0);
        for (WPARAM i = 0; i < static_cast<WPARAM>(count); ++i) {
            std::wstring text(static_cast<size_t>(SendMessageW(List(), LB_GETTEXTLEN, i, 0)),
                              L'\0');
            SendMessageW(List(), LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()));
            entries.push_back(text);
        }
        return entries;
    }

    // Selects an entry the way a click on it does: the list sets the selection and
    // notifies its parent.
    void ClickEntry(const std::wstring& entry) {
        const auto index = SendMessageW(List(), LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                        reinterpret_cast<LPARAM>(entry.c_str()));
        ASSERT_NE(index, LB_ERR) << quor::ToUtf8(entry);
        SendMessageW(List(), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
        SendMessageW(m_window->Window(), WM_COMMAND,
                     MAKEWPARAM(frmKavSafe::ControlId(Control::BackupList), LBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(List()));
    }

    // The idle state: backup enabled, restore and delete as given, panel hidden.
    void ExpectIdle(bool restoreAndDelete) const {
        EXPECT_FALSE(m_window->IsBusy());
        EXPECT_TRUE(Enabled(Control::Backup));
        EXPECT_EQ(Enabled(Control::Restore), restoreAndDelete);
        EXPECT_EQ(Enabled(Control::Delete), restoreAndDelete);
        EXPECT_FALSE(Shown(Control::InfoPanel));
    }

    // The busy state as seen while a job runs or its result is open.
    void ExpectBusy(const std::wstring& info) const {
        EXPECT_TRUE(m_window->IsBusy());
        EXPECT_FALSE(Enabled(Control::Backup));
        EXPECT_FALSE(Enabled(Control::Restore));
        EXPECT_FALSE(Enabled(Control::Delete));
        EXPECT_TRUE(Shown(Control::InfoPanel));
        EXPECT_EQ(TextOf(Item(Control::InfoLabel)), info);
    }

    std::wstring StoredBakPath() {
        return m_state.Settings.ReadString(L"QuorKAV", L"BakPath", 1000, L"<none>");
    }

    void ExpectMessage(size_t index, const std::wstring& text, const std::wstring& title,
                       UINT type) const {
        ASSERT_LT(index, m_dialogs.shown.size());
        const ShownMessage& shown = m_dialogs.shown[index];
        EXPECT_EQ(shown.text, text);
        EXPECT_EQ(shown.title, title);
        EXPECT_EQ(shown.type, type);
        EXPECT_EQ(shown.owner, nullptr); // the boxes belong to no window
    }

    FakeDialogs m_dialogs;
    std::unique_ptr<frmKavSafe> m_window;
};

TEST_F(WindowTest, LayoutFollowsTheTwipTableAtTheScreenDpi) {
    frmKavSafe& window = Open();
    ASSERT_EQ(window.Dpi(), 96);
    EXPECT_EQ(TextOf(window.Window()), L"QUOR备份管理");

    RECT client{};
    GetClientRect(window.Window(), &client);
    EXPECT_EQ(client.right, 397);
    EXPECT_EQ(client.bottom, 228);

    // Fixed frame with a close box only, centred on the screen.
    EXPECT_TRUE(FixedAndCentred(window.Window()));

    EXPECT_TRUE(SameRect(RectInParent(Item(Control::ChgPath)), {300, 8, 384, 22}));
    EXPECT_TRUE(SameRect(RectInParent(List()), {2, 28, 291, 224}));
    EXPECT_TRUE(SameRect(RectInParent(Item(Control::InfoPanel)), {26, 74, 265, 143}));
    EXPECT_EQ(GetParent(Item(Control::InfoLabel)), Item(Control::InfoPanel));
    EXPECT_TRUE(SameRect(RectInParent(Item(Control::InfoLabel)), {26, 26, 227, 46}));
    EXPECT_TRUE(SameRect(RectInParent(Item(Control::Backup)), {298, 34, 393, 71}));
    EXPECT_TRUE(SameRect(RectInParent(Item(Control::Restore)), {298, 100, 393, 137}));
    EXPECT_TRUE(SameRect(RectInParent(Item(Control::Delete)), {298, 142, 393, 179}));
    // The list label keeps its place and height and reaches to the list's right edge.
    EXPECT_TRUE(SameRect(RectInParent(Item(Control::BackList)), {6, 10, 291, 26}));

    // The kinds a person and a screen reader see.
    wchar_t className[64];
    GetClassNameW(List(), className, 64);
    EXPECT_EQ(std::wstring(className), L"ListBox");
    const LONG listStyle = GetWindowLongW(List(), GWL_STYLE);
    EXPECT_FALSE(listStyle & (LBS_SORT | LBS_MULTIPLESEL | LBS_EXTENDEDSEL));
    for (const Control label : {Control::BackList, Control::ChgPath, Control::InfoLabel}) {
        GetClassNameW(Item(label), className, 64);
        EXPECT_EQ(std::wstring(className), L"Static");
    }

    // Fonts: SimSun of 12 pt for the list and its label, 10.5 pt underlined for the link,
    // 15 pt bold for the busy text.
    for (const Control control : {Control::BackList, Control::BackupList}) {
        const LOGFONTW font = FontOf(Item(control));
        EXPECT_EQ(font.lfHeight, -16);
        EXPECT_STREQ(font.lfFaceName, L"宋体");
        EXPECT_EQ(font.lfCharSet, GB2312_CHARSET);
        EXPECT_FALSE(font.lfUnderline);
    }
    const LOGFONTW link = FontOf(Item(Control::ChgPath));
    EXPECT_EQ(link.lfHeight, -14);
    EXPECT_TRUE(link.lfUnderline);
    EXPECT_EQ(link.lfWeight, FW_NORMAL);
    const LOGFONTW info = FontOf(Item(Control::InfoLabel));
    EXPECT_EQ(info.lfHeight, -20);
    EXPECT_EQ(info.lfWeight, FW_BOLD);
    EXPECT_STREQ(info.lfFaceName, L"宋体");
}

TEST(WindowLayoutTest, ScalingAt144Dpi) {
    EXPECT_EQ(frmKavSafe::ClientSize(144).cx, 596); // 595.5 rounds up
    EXPECT_EQ(frmKavSafe::ClientSize(144).cy, 342);
    EXPECT_TRUE(SameRect(frmKavSafe::ControlRect(Control::Restore, 144), {447, 150, 590, 206}));
    EXPECT_TRUE(SameRect(frmKavSafe::ControlRect(Control::InfoPanel, 144), {39, 111, 398, 215}));
}

TEST_F(WindowTest, LinkIsBlueWithAHandAndThePanelWhiteOnTheWorkspaceColour) {
    frmKavSafe& window = Open();
    const HDC screen = GetDC(nullptr);
    const HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);

    SendMessageW(window.Window(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(Item(Control::ChgPath)));
    EXPECT_EQ(GetTextColor(dc), RGB(0, 0, 255));
    SendMessageW(window.Window(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(Item(Control::BackList)));
    EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_BTNTEXT));
    const auto brush =
        SendMessageW(Item(Control::InfoPanel), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(Item(Control::InfoLabel)));
    EXPECT_EQ(GetTextColor(dc), RGB(255, 255, 255));
    EXPECT_EQ(GetBkColor(dc), GetSysColor(COLOR_APPWORKSPACE));
    EXPECT_EQ(brush, reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_APPWORKSPACE)));
    DeleteDC(dc);

    // The pointing hand over the link only.
    const HCURSOR hand = LoadCursorW(nullptr, IDC_HAND);
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    EXPECT_TRUE(SendMessageW(window.Window(), WM_SETCURSOR,
                             reinterpret_cast<WPARAM>(Item(Control::ChgPath)),
                             MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));
    EXPECT_EQ(GetCursor(), hand);
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    SendMessageW(window.Window(), WM_SETCURSOR, reinterpret_cast<WPARAM>(List()),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_NE(GetCursor(), hand);
}

TEST_F(WindowTest, ButtonsAreCreatedFromTheirStoredSettings) {
    Open();
    const struct {
        Control control;
        const wchar_t* caption;
    } buttons[] = {
        {Control::Backup, L"备份"}, {Control::Restore, L"恢复"}, {Control::Delete, L"删除"}};
    for (const auto& expected : buttons) {
        controls::gwButtons_H* button = m_window->Button(expected.control);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(TextOf(button->hwnd()), expected.caption); // the window text is the caption
        EXPECT_EQ(GetParent(button->hwnd()), m_window->Window());
        EXPECT_EQ(GetDlgCtrlID(button->hwnd()), frmKavSafe::ControlId(expected.control));
        EXPECT_EQ(std::tuple(button->CaptionAlign(), button->ButtonStyle(), button->Mode(),
                             button->Value(), button->GradientColor(), button->BackColor()),
                  std::tuple(2, 2, 0, false, 0u, controls::kButtonFace));
        EXPECT_EQ(button->Font(), (controls::FontSpec{L"宋体", 12.0}));
    }
}

TEST_F(WindowTest, LoadListsExactBackupNamesNewestFirst) {
    Open();
    const std::vector<std::wstring> expected = {L"Data-20261206-090000", L"Data-20261205-101010",
                                                L"Data-20261204-235959"};
    EXPECT_EQ(Entries(), expected);
    EXPECT_EQ(SendMessageW(List(), LB_GETCURSEL, 0, 0), LB_ERR);
    EXPECT_EQ(TextOf(Item(Control::BackList)), L"备份列表(" + m_state.BackupDir + L")：");
    EXPECT_EQ(TextOf(Item(Control::ChgPath)), L"设置备份路径");
    EXPECT_EQ(TextOf(Item(Control::InfoLabel)), L"正在备份，请稍候...");
    ExpectIdle(false);
    EXPECT_TRUE(m_dialogs.shown.empty());

    // The order comes from the names, not from the order the files were made in.
    EXPECT_EQ(BackupEntries(m_state.BackupDir), expected);
    // With or without the trailing backslash; a missing folder lists nothing.
    std::wstring bare = m_state.BackupDir;
    bare.pop_back();
    EXPECT_EQ(BackupEntries(bare), expected);
    EXPECT_TRUE(BackupEntries(m_root / L"missing\\").empty());
    // A file named only ".quordb" is an entry with an empty name.
    ASSERT_TRUE(WriteBytes(m_state.BackupDir + L".quordb", ""));
    EXPECT_EQ(BackupEntries(m_state.BackupDir).back(), L"");
}

TEST_F(WindowTest, ClickingAnEntryEnablesRestoreAndDeleteUntilTheNextRefresh) {
    Open();
    ClickEntry(L"Data-20261205-101010");
    ExpectIdle(true);
    m_window->RefreshList();
    ExpectIdle(false);
    EXPECT_EQ(SendMessageW(List(), LB_GETCURSEL, 0, 0), LB_ERR);
    EXPECT_EQ(Entries().size(), 3u);

    // A selection change that leaves nothing selected enables nothing.
    SendMessageW(m_window->Window(), WM_COMMAND,
                 MAKEWPARAM(frmKavSafe::ControlId(Control::BackupList), LBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(List()));
    ExpectIdle(false);
}

TEST_F(WindowTest, BackupAsksThenRunsBusyAndListsTheNewBackupFirst) {
    Open();
    // No: nothing happens.
    const size_t before = Backups().size();
    m_dialogs.answer = IDNO;
    m_window->cmdBackup_Click();
    ASSERT_EQ(m_dialogs.shown.size(), 1u);
    ExpectMessage(0, kBackupQuestion, L"备份数据", kQuestion | MB_DEFBUTTON1);
    EXPECT_EQ(Backups().size(), before);
    EXPECT_TRUE(LogMessages(m_root.path()).empty());
    ExpectIdle(false);

    // Yes: busy, panel with its text, until the result has been acknowledged.
    m_dialogs.shown.clear();
    m_dialogs.answer = IDYES;
    ClickEntry(L"Data-20261204-235959");
    bool checkedAtResult = false;
    m_dialogs.onMessage = [&](const ShownMessage& shown) {
        if (shown.title == L"QUOR备份管理") {
            ExpectBusy(L"正在备份，请稍候...");
            checkedAtResult = true;
        }
    };
    m_window->cmdBackup_Click();
    EXPECT_TRUE(checkedAtResult);
    ASSERT_EQ(m_dialogs.shown.size(), 2u);
    ExpectMessage(1, L"备份成功！", L"QUOR备份管理", MB_OK | MB_ICONINFORMATION);

    const std::vector<std::wstring> entries = Entries();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_TRUE(quor::FileExists(m_state.BackupDir + entries[0] + L".quordb"));
    ExpectIdle(false);
    EXPECT_EQ(SendMessageW(List(), LB_GETCURSEL, 0, 0), LB_ERR);
}

TEST_F(WindowTest, FailedJobsAreReportedAsErrors) {
    Open();
    m_dialogs.answer = IDYES;
    SetEnvironmentVariableW(L"QUOR_SPY_FAIL", L"1");
    m_window->cmdBackup_Click();
    SetEnvironmentVariableW(L"QUOR_SPY_FAIL", nullptr);
    ClickEntry(L"Data-20261205-101010"); // holds "x", no archive
    const auto before = Snapshot(m_state.DataDir);
    m_window->cmdRestore_Click();
    ASSERT_EQ(m_dialogs.shown.size(), 4u);
    ExpectMessage(1, L"备份失败！", L"QUOR备份管理", MB_OK | MB_ICONERROR);
    ExpectMessage(3, L"恢复失败！", L"QUOR备份管理", MB_OK | MB_ICONERROR);
    EXPECT_EQ(Snapshot(m_state.DataDir), before);
    EXPECT_EQ(Entries().size(), 3u);
    ExpectIdle(false);
}

TEST_F(WindowTest, WhileAJobWaitsEveryActionAndTheCloseAreRefused) {
    Open();
    ClickEntry(L"Data-20261205-101010");
    m_dialogs.answer = IDYES;
    m_dialogs.folder = m_root.path();
    const std::wstring bakPathBefore = StoredBakPath();
    const size_t before = Backups().size();
    // Another KavSafe process's job holds the lock, so the backup waits with the window
    // processing its messages.
    ASSERT_TRUE(HoldJobLock());
    DuringWait during([&] {
        ExpectBusy(L"正在备份，请稍候...");
        // A second backup, a restore, a delete, a new folder, a list click and the close:
        // each is turned away without a question.
        m_window->cmdBackup_Click();
        m_window->cmdRestore_Click();
        m_window->cmdDelete_Click();
        m_window->lblChgPath_Click();
        ClickEntry(L"Data-20261206-090000");
        SendMessageW(m_window->Window(), WM_CLOSE, 0, 0);
        EXPECT_TRUE(IsWindow(m_window->Window()));
        EXPECT_EQ(m_dialogs.shown.size(), 1u);
        EXPECT_TRUE(m_dialogs.browsed.empty());
        ExpectBusy(L"正在备份，请稍候...");
        m_window->RefreshList(); // refused too: the list keeps its entries
        EXPECT_EQ(Entries().size(), 3u);
        Release();
    });
    m_window->cmdBackup_Click();
    EXPECT_TRUE(DuringWait::ran);
    ASSERT_EQ(m_dialogs.shown.size(), 2u);
    ExpectMessage(1, L"备份成功！", L"QUOR备份管理", MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(Backups().size(), before + 1); // one backup, not two
    EXPECT_EQ(StoredBakPath(), bakPathBefore);
    ExpectIdle(false);

    // Idle again, the close request closes.
    SendMessageW(m_window->Window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(m_window->Window(), nullptr);
}

TEST_F(WindowTest, WindowClosedWhileAQuestionIsOpenDoesNothingMore) {
    // The questions have no owner, so the window can be closed while one is open; a Yes
    // given afterwards starts no job and deletes nothing.
    m_dialogs.answer = IDYES;
    m_dialogs.onMessage = [&](const ShownMessage&) {
        SendMessageW(m_window->Window(), WM_CLOSE, 0, 0);
    };
    const size_t before = Backups().size();
    for (const auto handler : {&frmKavSafe::cmdBackup_Click, &frmKavSafe::cmdRestore_Click,
                               &frmKavSafe::cmdDelete_Click}) {
        Open();
        ClickEntry(L"Data-20261205-101010");
        m_dialogs.shown.clear();
        ((*m_window).*handler)();
        EXPECT_EQ(m_window->Window(), nullptr);
        EXPECT_EQ(m_dialogs.shown.size(), 1u); // the question, no result
    }
    EXPECT_EQ(Backups().size(), before);
    EXPECT_TRUE(quor::FileExists(m_state.BackupDir + L"Data-20261205-101010.quordb"));
    EXPECT_TRUE(LogMessages(m_root.path()).empty());
}

TEST_F(WindowTest, RestoreAsksAndRestoresTheEntryChosenBeforeTheQuestion) {
    // Two real backups a second apart, of two states of the data; they are the newest.
    ASSERT_TRUE(BackupData(m_state));
    ASSERT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));
    const auto first = Snapshot(m_state.DataDir);
    ASSERT_TRUE(WriteBytes(m_state.DataDir + L"\\mysql\\user.MYD", "changed rows"));
    Sleep(1100);
    ASSERT_TRUE(BackupData(m_state));
    ASSERT_TRUE(m_mysql.WaitForState(SERVICE_RUNNING));
    ASSERT_TRUE(WriteBytes(m_state.DataDir + L"\\mysql\\user.MYD", "current rows"));
    Open();
    const std::vector<std::wstring> entries = Entries();
    ASSERT_EQ(entries.size(), 5u);
    const std::wstring older = entries[1]; // the first backup
    ASSERT_LT(L"Data-20261206-090000", older);

    // Nothing selected: no question.
    m_window->cmdRestore_Click();
    EXPECT_TRUE(m_dialogs.shown.empty());

    // No leaves the data alone.
    ClickEntry(older);
    m_dialogs.answer = IDNO;
    m_window->cmdRestore_Click();
    ASSERT_EQ(m_dialogs.shown.size(), 1u);
    ExpectMessage(0, kRestoreQuestion, L"恢复备份", kQuestion | MB_DEFBUTTON1);
    EXPECT_EQ(ReadBytes(m_state.DataDir + L"\\mysql\\user.MYD"), "current rows");

    // While the question is open the person clicks the newer entry; the answer still
    // restores the one that was selected when the button was pressed.
    m_dialogs.shown.clear();
    m_dialogs.answer = IDYES;
    const size_t logLines = LogMessages(m_root.path()).size();
    bool checkedAtResult = false;
    m_dialogs.onMessage = [&](const ShownMessage& shown) {
        if (shown.title == L"恢复备份") {
            ClickEntry(entries[0]);
        } else {
            ExpectBusy(L"正在恢复，请稍候...");
            checkedAtResult = true;
        }
    };
    m_window->cmdRestore_Click();
    EXPECT_TRUE(checkedAtResult);
    ASSERT_EQ(m_dialogs.shown.size(), 2u);
    ExpectMessage(1, L"恢复成功！", L"QUOR备份管理", MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(Snapshot(m_state.DataDir), first);
    EXPECT_EQ(LogMessages(m_root.path()).at(logLines + 1),
              L"文件" + m_state.BackupDir + older + L".quordb");

    // The list keeps its entries and the highlight; restore and delete wait for a click.
    EXPECT_EQ(Entries(), entries);
    EXPECT_EQ(SendMessageW(List(), LB_GETCURSEL, 0, 0), 0);
    ExpectIdle(false);
    ClickEntry(entries[0]);
    ExpectIdle(true);
}

TEST_F(WindowTest, DeleteAsksWithNoAsDefaultAndDeletesTheEntryAskedAbout) {
    Open();
    // Nothing selected: no question.
    m_window->cmdDelete_Click();
    EXPECT_TRUE(m_dialogs.shown.empty());

    ClickEntry(L"Data-20261205-101010");
    m_dialogs.answer = IDNO;
    m_window->cmdDelete_Click();
    ASSERT_EQ(m_dialogs.shown.size(), 1u);
    ExpectMessage(0, L"确定删除选中备份？", L"删除备份", kQuestion | MB_DEFBUTTON2);
    EXPECT_TRUE(quor::FileExists(m_state.BackupDir + L"Data-20261205-101010.quordb"));
    ExpectIdle(true);

    // The selection moves while the question is open: the entry asked about goes.
    m_dialogs.answer = IDYES;
    m_dialogs.onMessage = [&](const ShownMessage&) { ClickEntry(L"Data-20261206-090000"); };
    m_window->cmdDelete_Click();
    EXPECT_FALSE(quor::FileExists(m_state.BackupDir + L"Data-20261205-101010.quordb"));
    EXPECT_TRUE(quor::FileExists(m_state.BackupDir + L"Data-20261206-090000.quordb"));
    const std::vector<std::wstring> expected = {L"Data-20261206-090000", L"Data-20261204-235959"};
    EXPECT_EQ(Entries(), expected);
    ExpectIdle(false);
    EXPECT_TRUE(LogMessages(m_root.path()).empty()); // no log line for a deletion

    // A deletion that fails is silent and the entry stays listed.
    m_dialogs.onMessage = nullptr;
    quor::FileHandle held(CreateFileW((m_state.BackupDir + L"Data-20261204-235959.quordb").c_str(),
                                      GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    ClickEntry(L"Data-20261204-235959");
    const size_t shown = m_dialogs.shown.size();
    m_window->cmdDelete_Click();
    EXPECT_EQ(m_dialogs.shown.size(), shown + 1); // the question only
    EXPECT_EQ(Entries(), expected);
    ExpectIdle(false);
}

TEST_F(WindowTest, ChosenFolderIsUsedListedAndStoredWithOneTrailingBackslash) {
    Open();
    const std::wstring other = m_root / L"其他 备份";
    ASSERT_TRUE(MakeDirs(other));
    ASSERT_TRUE(WriteBytes(other + L"\\Data-20270101-080000.quordb", "x"));
    const std::wstring bakPathBefore = StoredBakPath();
    const std::wstring backupDirBefore = m_state.BackupDir;
    ClickEntry(L"Data-20261205-101010");

    // Cancelled, an item without a file-system path, and a path that names a file: nothing
    // changes, nothing is stored.
    const std::optional<std::wstring> refused[] = {
        std::nullopt, std::wstring(), m_state.BackupDir + L"notes.txt", m_root / L"missing"};
    for (const auto& choice : refused) {
        m_dialogs.folder = choice;
        m_window->lblChgPath_Click();
        EXPECT_EQ(m_state.BackupDir, backupDirBefore);
        EXPECT_EQ(StoredBakPath(), bakPathBefore);
        EXPECT_EQ(Entries().size(), 3u);
        EXPECT_EQ(TextOf(Item(Control::BackList)), L"备份列表(" + backupDirBefore + L")：");
        ExpectIdle(true);
    }
    ASSERT_EQ(m_dialogs.browsed.size(), 4u);
    for (const ShownBrowser& browser : m_dialogs.browsed) {
        EXPECT_EQ(browser.owner, nullptr);
        EXPECT_EQ(browser.title, L"请选择备份路径：");
        EXPECT_EQ(browser.rootCsidl, 17);
        EXPECT_EQ(browser.flags, 0u);
    }

    // A folder path without the trailing backslash gets one.
    m_dialogs.folder = other;
    m_window->lblChgPath_Click();
    EXPECT_EQ(m_state.BackupDir, other + L"\\");
    EXPECT_EQ(StoredBakPath(), other + L"\\");
    EXPECT_EQ(Entries(), std::vector<std::wstring>{L"Data-20270101-080000"});
    EXPECT_EQ(TextOf(Item(Control::BackList)), L"备份列表(" + other + L"\\)：");
    ExpectIdle(false);

    // A drive root keeps its single backslash.
    m_dialogs.folder = quor::DrivePart(m_root.path()) + L"\\";
    m_window->lblChgPath_Click();
    EXPECT_EQ(m_state.BackupDir, quor::DrivePart(m_root.path()) + L"\\");
    EXPECT_EQ(StoredBakPath(), quor::DrivePart(m_root.path()) + L"\\");
    EXPECT_TRUE(m_dialogs.shown.empty());
}

} // namespace
