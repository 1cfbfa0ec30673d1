// The backup manager window.
#include "frmKavSafe.h"

#include "Files.h"
#include "Layout.h"
#include "UniqueHandle.h"

#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>

namespace kavsafe {

using controls::gwButtons_H;

namespace {

constexpr wchar_t kClassName[] = L"QuorKavSafeWindow";
constexpr wchar_t kPanelClassName[] = L"QuorKavSafePanel";
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
constexpr int kClientWidthTwips = 5955;
constexpr int kClientHeightTwips = 3420;
constexpr int kFirstControlId = 1000;
// The folder browser's choice is handled after the label's mouse-down has been processed.
constexpr UINT kChgPathClicked = WM_APP + 1;
// Reads the job's progress while the busy panel is shown.
constexpr UINT_PTR kProgressTimer = 1;
constexpr UINT kProgressPeriodMs = 250;
constexpr int kProgressSteps = 1000;

constexpr wchar_t kExtension[] = L".quordb";
constexpr size_t kExtensionLength = 7;
constexpr wchar_t kBakPathKey[] = L"BakPath";
constexpr int kDrivesFolder = CSIDL_DRIVES; // 17, the virtual folder of all drives
static_assert(kDrivesFolder == 17);

constexpr COLORREF kLinkColour = 0xFF0000; // blue, as the platform's colours are 0x00BBGGRR
constexpr COLORREF kInfoColour = RGB(255, 255, 255);

struct ControlSpec {
    int left, top, width, height; // twips, within the parent
};

// Indexed by frmKavSafe::Control.
constexpr ControlSpec kLayout[] = {
    // The list label runs to the list's right edge (its stored width is 1200): the folder it
    // names would otherwise be cut off after the first characters.
    {90, 150, 4275, 240},    // lblBackList
    {4500, 120, 1260, 210},  // lblChgPath
    {30, 420, 4335, 2940},   // lstBackup
    {390, 1110, 3585, 1035}, // picInfo
    {390, 390, 3015, 300},   // lblInfo, within picInfo
    {4470, 510, 1425, 555},  // cmdBackup
    {4470, 1500, 1425, 555}, // cmdRestore
    {4470, 2130, 1425, 555}, // cmdDelete
    {390, 750, 2385, 195},   // prgInfo, within picInfo, under lblInfo
    {2850, 735, 645, 225},   // lblShare, within picInfo
};
static_assert(std::size(kLayout) == static_cast<size_t>(frmKavSafe::Control::Count));

constexpr int kFirstButton = static_cast<int>(frmKavSafe::Control::Backup);

struct ButtonSpec {
    const wchar_t* name;
    const wchar_t* caption;
};
constexpr ButtonSpec kButtons[] = {
    {L"cmdBackup", L"备份"},
    {L"cmdRestore", L"恢复"},
    {L"cmdDelete", L"删除"},
};

// The three buttons' stored settings; everything not named here is at the control's default.
controls::PropertyBag StoredButtonSettings(const wchar_t* caption) {
    controls::PropertyBag bag;
    bag.Write(L"Caption", std::wstring(caption));
    bag.Write(L"CapAlign", std::int32_t{2}); // centred
    bag.Write(L"BackStyle", std::int32_t{2});
    controls::FontSpec font;
    font.name = L"宋体";
    font.points = 12.0;
    bag.Write(L"Font", font);
    bag.Write(L"cGradient", std::int32_t{0});
    bag.Write(L"Mode", std::int32_t{0}); // command button
    bag.Write(L"Value", false);
    bag.Write(L"cBack", static_cast<std::int32_t>(controls::kButtonFace));
    return bag;
}

// The panel is a plain child window in the application-workspace colour whose label draws
// white on it.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CTLCOLORSTATIC) {
        const auto dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, kInfoColour);
        SetBkColor(dc, GetSysColor(COLOR_APPWORKSPACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_APPWORKSPACE));
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void RegisterPanelClass(HINSTANCE instance) {
    WNDCLASSEXW panelClass{};
    panelClass.cbSize = sizeof(panelClass);
    panelClass.lpfnWndProc = PanelProc;
    panelClass.hInstance = instance;
    panelClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    panelClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
    panelClass.lpszClassName = kPanelClassName;
    RegisterClassExW(&panelClass);
}

HMENU MenuId(frmKavSafe::Control control) {
    return reinterpret_cast<HMENU>(static_cast<INT_PTR>(frmKavSafe::ControlId(control)));
}

std::wstring WithoutTrailingBackslashes(std::wstring folder) {
    while (!folder.empty() && folder.back() == L'\\') {
        folder.pop_back();
    }
    return folder;
}

} // namespace

std::vector<std::wstring> BackupEntries(const std::wstring& backupDir) {
    std::vector<std::wstring> entries;
    WIN32_FIND_DATAW found;
    const std::wstring pattern = WithoutTrailingBackslashes(backupDir) + L"\\*";
    const quor::FindHandle find(FindFirstFileW(pattern.c_str(), &found));
    if (!find) {
        return entries;
    }
    do {
        const std::wstring name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            name.size() >= kExtensionLength &&
            name.compare(name.size() - kExtensionLength, kExtensionLength, kExtension) == 0) {
            entries.push_back(name.substr(0, name.size() - kExtensionLength));
        }
    } while (FindNextFileW(find.get(), &found));
    // Windows' own file system lists a folder in the order of its names compared without
    // regard to case; the dated names then put the newest last. Wine passes on the order of
    // the host's file system, which is arbitrary, so that order is made here, and reversed.
    std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                    static_cast<int>(b.size()), TRUE) == CSTR_GREATER_THAN;
    });
    return entries;
}

// What the form supplies to one of its buttons, and where the button's Click goes.
class frmKavSafe::ButtonSite : public controls::ButtonHost, public controls::ButtonEvents {
public:
    using Handler = void (frmKavSafe::*)();
    ButtonSite(frmKavSafe& form, const wchar_t* name, Handler click)
        : m_form(form), m_name(name), m_click(click) {}

    HWND ContainerWindow() const override { return m_form.m_hwnd; }
    std::wstring DisplayName() const override { return m_name; }
    controls::FontSpec ParentFont() const override {
        controls::FontSpec font; // the form's own font: SimSun 9 pt
        font.name = L"宋体";
        font.points = 9.0;
        return font;
    }
    controls::OleColor AmbientBackColor() const override { return controls::kButtonFace; }

    void Click() override { (m_form.*m_click)(); }

private:
    frmKavSafe& m_form;
    const wchar_t* m_name;
    Handler m_click;
};

frmKavSafe::frmKavSafe(AppState& state, quor::Dialogs& dialogs)
    : m_state(state), m_dialogs(dialogs) {}

frmKavSafe::~frmKavSafe() {
    // The controls must go before the fonts they draw with and before the button objects.
    if (m_hwnd) {
        DestroyWindow(m_hwnd);
    }
}

SIZE frmKavSafe::ClientSize(int dpi) {
    return {quor::TwipsToPixels(kClientWidthTwips, dpi),
            quor::TwipsToPixels(kClientHeightTwips, dpi)};
}

int frmKavSafe::ControlId(Control control) {
    return kFirstControlId + static_cast<int>(control);
}

RECT frmKavSafe::ControlRect(Control control, int dpi) {
    const ControlSpec& spec = kLayout[static_cast<size_t>(control)];
    return quor::TwipRect(spec.left, spec.top, spec.width, spec.height, dpi);
}

HWND frmKavSafe::Item(Control control) const {
    if (gwButtons_H* button = Button(control)) {
        return button->hwnd();
    }
    return m_controls[static_cast<size_t>(control)];
}

gwButtons_H* frmKavSafe::Button(Control control) const {
    const int index = static_cast<int>(control) - kFirstButton;
    if (index < 0 || index >= static_cast<int>(m_buttons.size())) {
        return nullptr;
    }
    return m_buttons[static_cast<size_t>(index)].get();
}

bool frmKavSafe::Create(HINSTANCE instance) {
    if (m_hwnd) {
        return true;
    }
    m_dpi = quor::ScreenDpi();
    m_listFont = quor::CreateSimSun(1200, m_dpi);
    m_linkFont = quor::CreateSimSun(1050, m_dpi, false, true);
    m_infoFont = quor::CreateSimSun(1500, m_dpi, true);
    m_shareFont = quor::CreateSimSun(900, m_dpi);
    const INITCOMMONCONTROLSEX progressClass{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&progressClass);

    RegisterPanelClass(instance);
    return CreateCentred(instance, kClassName, kAppTitle, kWindowStyle, ClientSize(m_dpi));
}

LRESULT frmKavSafe::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_CREATE:
        return OnCreate() ? 0 : -1;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam));
        return 0;
    case kChgPathClicked:
        lblChgPath_Click();
        return 0;
    case WM_TIMER:
        if (wParam == kProgressTimer) {
            ShowProgress();
        }
        return 0;
    case WM_SETCURSOR:
        if (OnSetCursor(reinterpret_cast<HWND>(wParam), LOWORD(lParam))) {
            return TRUE;
        }
        return DefWindowProcW(m_hwnd, msg, wParam, lParam);
    case WM_CTLCOLORSTATIC:
        return OnCtlColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    // The focus stays where the user left it while another window (a question, a result, another
    // program) was active.
    case WM_ACTIVATE:
        m_focus.OnActivate(m_hwnd, wParam, Item(Control::BackupList));
        return 0;
    case WM_SETFOCUS:
        m_focus.Restore(m_hwnd, Item(Control::BackupList));
        return 0;
    case WM_CLOSE:
        OnClose();
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(m_hwnd, msg, wParam, lParam);
    }
}

bool frmKavSafe::OnCreate() {
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(m_hwnd, GWLP_HINSTANCE));
    const auto create = [&](Control control, DWORD exStyle, const wchar_t* className,
                            const wchar_t* text, DWORD style, HWND parent, HFONT font) {
        const RECT rect = ControlRect(control, m_dpi);
        const HWND hwnd = CreateWindowExW(exStyle, className, text, WS_CHILD | style, rect.left,
                                          rect.top, rect.right - rect.left, rect.bottom - rect.top,
                                          parent, MenuId(control), instance, nullptr);
        m_controls[static_cast<size_t>(control)] = hwnd;
        if (hwnd && font) {
            SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        }
        return hwnd != nullptr;
    };
    // Labels do not wrap: a label a few pixels short (font substitutes are wider than SimSun)
    // clips its last characters instead of wrapping them out of sight.
    const bool created =
        create(Control::BackList, 0, L"STATIC", L"备份列表：", WS_VISIBLE | SS_LEFTNOWORDWRAP,
               m_hwnd, m_listFont.get()) &&
        create(Control::ChgPath, 0, L"STATIC", L"设置备份路径",
               WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOTIFY, m_hwnd, m_linkFont.get()) &&
        create(Control::BackupList, WS_EX_CLIENTEDGE, L"LISTBOX", L"",
               WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | WS_CLIPSIBLINGS | LBS_NOTIFY |
                   LBS_NOINTEGRALHEIGHT,
               m_hwnd, m_listFont.get()) &&
        // The panel lies over the list; each clips the other so that neither paints over it.
        create(Control::InfoPanel, 0, kPanelClassName, L"", WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
               m_hwnd, nullptr) &&
        create(Control::InfoLabel, 0, L"STATIC", L"正在备份，请稍候...",
               WS_VISIBLE | SS_LEFTNOWORDWRAP, Item(Control::InfoPanel), m_infoFont.get()) &&
        create(Control::Progress, 0, PROGRESS_CLASSW, L"", WS_VISIBLE | PBS_SMOOTH,
               Item(Control::InfoPanel), nullptr) &&
        create(Control::Share, 0, L"STATIC", L"", WS_VISIBLE | SS_LEFTNOWORDWRAP,
               Item(Control::InfoPanel), m_shareFont.get()) &&
        CreateButtons();
    if (!created) {
        return false;
    }
    Form_Load();
    return true;
}

bool frmKavSafe::CreateButtons() {
    const ButtonSite::Handler handlers[] = {
        &frmKavSafe::cmdBackup_Click, &frmKavSafe::cmdRestore_Click, &frmKavSafe::cmdDelete_Click};
    for (size_t i = 0; i < m_buttons.size(); ++i) {
        const auto control = static_cast<Control>(kFirstButton + static_cast<int>(i));
        m_sites[i] = std::make_unique<ButtonSite>(*this, kButtons[i].name, handlers[i]);
        const controls::PropertyBag stored = StoredButtonSettings(kButtons[i].caption);
        m_buttons[i] = gwButtons_H::Create(*m_sites[i], *m_sites[i], ControlRect(control, m_dpi),
                                           ControlId(control), &stored);
        if (!m_buttons[i]) {
            return false;
        }
    }
    return true;
}

void frmKavSafe::OnCommand(int id, int notification) {
    switch (static_cast<Control>(id - kFirstControlId)) {
    case Control::BackupList:
        if (notification == LBN_SELCHANGE) {
            lstBackup_Click();
        }
        break;
    case Control::ChgPath:
        // The label reports the click at mouse-down; the browser opens once that is done.
        if (notification == STN_CLICKED) {
            PostMessageW(m_hwnd, kChgPathClicked, 0, 0);
        }
        break;
    default:
        break;
    }
}

// The link label shows a pointing hand.
bool frmKavSafe::OnSetCursor(HWND under, int hitTest) {
    if (under != Item(Control::ChgPath) || hitTest != HTCLIENT) {
        return false;
    }
    SetCursor(LoadCursorW(nullptr, IDC_HAND));
    return true;
}

LRESULT frmKavSafe::OnCtlColorStatic(HDC dc, HWND control) {
    SetTextColor(dc, control == Item(Control::ChgPath) ? kLinkColour : GetSysColor(COLOR_BTNTEXT));
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

// A close request during a job is refused; the window stays open.
void frmKavSafe::OnClose() {
    if (m_isBusy) {
        return;
    }
    DestroyWindow(m_hwnd);
}

void frmKavSafe::Form_Load() {
    m_isBusy = false;
    HideBusyPanel();
    EnableButton(Control::Restore, false);
    EnableButton(Control::Delete, false);
    RefreshList();
    ShowBackList();
}

void frmKavSafe::RefreshList() {
    if (m_isBusy || !m_hwnd) {
        return;
    }
    const HWND list = Item(Control::BackupList);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    EnableButton(Control::Restore, false);
    EnableButton(Control::Delete, false);
    for (const std::wstring& entry : BackupEntries(m_state.BackupDir)) {
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
}

void frmKavSafe::lstBackup_Click() {
    if (m_isBusy) {
        return;
    }
    if (SendMessageW(Item(Control::BackupList), LB_GETCURSEL, 0, 0) != LB_ERR) {
        EnableButton(Control::Restore, true);
        EnableButton(Control::Delete, true);
    }
}

void frmKavSafe::cmdBackup_Click() {
    if (m_isBusy) {
        return;
    }
    if (!Ask(L"备份过程中将暂停服务。\r\n\r\n您确定开始执行备份？", L"备份数据", MB_DEFBUTTON1)) {
        return;
    }
    m_isBusy = true;
    EnableButton(Control::Backup, false);
    EnableButton(Control::Restore, false);
    EnableButton(Control::Delete, false);
    m_progress = std::make_unique<ArchiverProgress>();
    ShowBusyPanel(L"正在备份，请稍候...");
    const bool backedUp = BackupData(m_state, m_progress.get());
    // The panel stays and the window stays busy until the result has been acknowledged.
    Report(backedUp, L"备份成功！", L"备份失败！");
    EnableButton(Control::Backup, true);
    HideBusyPanel();
    m_isBusy = false;
    RefreshList();
    GiveBackFocus();
}

void frmKavSafe::cmdRestore_Click() {
    if (m_isBusy) {
        return;
    }
    // The file is fixed when the button is pressed: the question box has no owner, so the
    // list stays usable while it is open and the selection may move meanwhile.
    const std::wstring item = CurrentItemText();
    if (item.empty()) {
        return;
    }
    const std::wstring file = m_state.BackupDir + item + kExtension;
    if (!Ask(L"此操作将覆盖现有数据，且恢复过程中将暂停服务。\r\n\r\n您确定要恢复选中备份？",
             L"恢复备份", MB_DEFBUTTON1)) {
        return;
    }
    m_isBusy = true;
    EnableButton(Control::Backup, false);
    EnableButton(Control::Restore, false);
    EnableButton(Control::Delete, false);
    m_progress = std::make_unique<ArchiverProgress>();
    ShowBusyPanel(L"正在恢复，请稍候...");
    const bool restored = RestoreData(m_state, file, m_progress.get());
    Report(restored, L"恢复成功！", L"恢复失败！");
    // The list keeps its entries; restore and delete wait for the next click on one.
    HideBusyPanel();
    EnableButton(Control::Backup, true);
    m_isBusy = false;
    GiveBackFocus();
}

void frmKavSafe::cmdDelete_Click() {
    if (m_isBusy) {
        return;
    }
    if (SendMessageW(Item(Control::BackupList), LB_GETCURSEL, 0, 0) == LB_ERR) {
        return;
    }
    // Fixed before the question, for the same reason as in restore: the entry asked about is
    // the one deleted, whatever is selected when the answer comes.
    const std::wstring file = m_state.BackupDir + CurrentItemText() + kExtension;
    if (!Ask(L"确定删除选中备份？", L"删除备份", MB_DEFBUTTON2)) {
        return;
    }
    // A failed deletion is silent: the refreshed list shows the file again.
    DeleteFileW(file.c_str());
    RefreshList();
    EnableButton(Control::Restore, false);
    EnableButton(Control::Delete, false);
    GiveBackFocus(); // the list, as the delete button is off now
}

void frmKavSafe::lblChgPath_Click() {
    if (m_isBusy) {
        return;
    }
    const std::optional<std::wstring> chosen =
        m_dialogs.BrowseForFolder(nullptr, L"请选择备份路径：", kDrivesFolder, 0);
    // A virtual item (the computer, a network neighbourhood) has no path, and an item that is
    // no folder (a file shown as one) can hold no backups: either would be stored as a folder
    // that every later backup fails to write into, so both count as a cancel.
    if (!chosen || chosen->empty() || !quor::DirectoryExists(*chosen)) {
        return;
    }
    m_state.BackupDir = *chosen;
    if (m_state.BackupDir.back() != L'\\') {
        m_state.BackupDir += L'\\';
    }
    RefreshList();
    ShowBackList();
    m_state.Settings.WriteString(quor::layout::kSettingsSection, kBakPathKey, m_state.BackupDir);
}

// Gives the focus back after work that disabled the focused button: the button that started a
// job could not take it back when the result box closed, and can now; a button that stays off
// hands it to the list.
void frmKavSafe::GiveBackFocus() {
    if (m_hwnd && GetActiveWindow() == m_hwnd) {
        m_focus.Restore(m_hwnd, Item(Control::BackupList));
    }
}

void frmKavSafe::EnableButton(Control button, bool enabled) {
    if (gwButtons_H* control = Button(button)) {
        control->Enabled(enabled);
    }
}

void frmKavSafe::ShowBusyPanel(const wchar_t* text) {
    SetWindowTextW(Item(Control::InfoLabel), text);
    ShowProgress();
    SetTimer(m_hwnd, kProgressTimer, kProgressPeriodMs, nullptr);
    // Above the list in the sibling order, and painted now: the job starts right after.
    SetWindowPos(Item(Control::InfoPanel), HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    UpdateWindow(Item(Control::InfoPanel));
}

void frmKavSafe::HideBusyPanel() {
    KillTimer(m_hwnd, kProgressTimer);
    ShowWindow(Item(Control::InfoPanel), SW_HIDE);
    m_progress.reset();
}

// The bar shows the share of the archiver's work done and the label it in per cent; while the
// total is not known (the service still stopping, an archive being opened) the bar runs as a
// marquee and the label is empty.
void frmKavSafe::ShowProgress() {
    const ArchiverProgress::Share share =
        m_progress ? m_progress->Read() : ArchiverProgress::Share{};
    const HWND bar = Item(Control::Progress);
    const LONG_PTR style = GetWindowLongPtrW(bar, GWL_STYLE);
    const bool known = share.total > 0;
    const bool marquee = (style & PBS_MARQUEE) != 0;
    if (marquee == known) { // the bar is in the other mode

        SetWindowLongPtrW(bar, GWL_STYLE, known ? style & ~PBS_MARQUEE : style | PBS_MARQUEE);
        SendMessageW(bar, PBM_SETMARQUEE, known ? FALSE : TRUE, 0);
        SendMessageW(bar, PBM_SETRANGE32, 0, kProgressSteps);
    }
    std::wstring text;
    if (known) {
        const std::uint64_t done = std::min(share.done, share.total);
        const int steps = static_cast<int>(done * kProgressSteps / share.total);
        SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(steps), 0);
        text = std::to_wstring(steps / 10) + L"%";
    }
    SetWindowTextW(Item(Control::Share), text.c_str());
}

void frmKavSafe::ShowBackList() {
    SetWindowTextW(Item(Control::BackList), (L"备份列表(" + m_state.BackupDir + L")：").c_str());
}

std::wstring frmKavSafe::CurrentItemText() const {
    const HWND list = Item(Control::BackupList);
    const LRESULT index = SendMessageW(list, LB_GETCURSEL, 0, 0);
    if (index == LB_ERR) {
        return L"";
    }
    const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR) {
        return L"";
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT got = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(index),
                                     reinterpret_cast<LPARAM>(text.data()));
    text.resize(got == LB_ERR ? 0 : static_cast<size_t>(got));
    return text;
}

// Asks a Yes/No question; true for Yes. The boxes have no owner, so the window goes on
// taking input while one is open; a window closed meanwhile ends the handler.
bool frmKavSafe::Ask(const wchar_t* text, const wchar_t* title, UINT defaultButton) {
    const int answer =
        m_dialogs.Message(nullptr, text, title, MB_YESNO | MB_ICONQUESTION | defaultButton);
    return answer == IDYES && m_hwnd != nullptr && !m_isBusy;
}

void frmKavSafe::Report(bool success, const wchar_t* successText, const wchar_t* failureText) {
    if (success) {
        m_dialogs.Message(nullptr, successText, kAppTitle, MB_OK | MB_ICONINFORMATION);
    } else {
        m_dialogs.Message(nullptr, failureText, kAppTitle, MB_OK | MB_ICONERROR);
    }
}

} // namespace kavsafe
