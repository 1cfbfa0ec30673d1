// The backup manager window: the backups of the backup folder, newest first; backup, restore
// and delete with their questions and results; the busy panel; the choice of the folder.
#pragma once

#include "BaseWindow.h"
#include "FormLayout.h"
#include "JobRuntime.h"
#include "controls/gwButtons_H.h"
#include "modPublic.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace kavsafe {

// The entry names of the backups in a folder, in the order the window lists them: the names
// of the files whose name ends in exactly ".quordb" (letter case included), without that
// extension, newest first. The folder may be given with or without a trailing backslash; a
// missing folder has none.
std::vector<std::wstring> BackupEntries(const std::wstring& backupDir);

class frmKavSafe : public quor::BaseWindow<frmKavSafe> {
public:
    // The window's controls; the info label is a child of the info panel.
    enum class Control {
        BackList,   // lblBackList: "备份列表(folder)："
        ChgPath,    // lblChgPath: the link that chooses the folder
        BackupList, // lstBackup
        InfoPanel,  // picInfo: shown over the list while a job runs
        InfoLabel,  // lblInfo
        Backup,     // cmdBackup
        Restore,    // cmdRestore
        Delete,     // cmdDelete
        Progress,   // prgInfo: the share of the job done, within the panel
        Share,      // lblShare: that share in per cent, within the panel
        Count
    };

    frmKavSafe(AppState& state, quor::Dialogs& dialogs);
    ~frmKavSafe();
    frmKavSafe(const frmKavSafe&) = delete;
    frmKavSafe& operator=(const frmKavSafe&) = delete;

    // Creates the window hidden and loads it; false when it could not be created.
    bool Create(HINSTANCE instance);
    using BaseWindow::Show; // creates the window if needed and shows it

    // Client-area size and control rectangles (left, top, right, bottom) in pixels at dpi;
    // the rectangles of the info label, the progress bar and the share are within the panel.
    static SIZE ClientSize(int dpi);
    static RECT ControlRect(Control control, int dpi);
    // The control's child-window identifier (GetDlgItem of its parent).
    static int ControlId(Control control);

    HWND Item(Control control) const;
    controls::gwButtons_H* Button(Control control) const;
    bool IsBusy() const { return m_isBusy; }
    int Dpi() const { return m_dpi; }

    // Handlers. Each returns at once while a job started from this window runs.
    void RefreshList();
    void lstBackup_Click();
    void cmdBackup_Click();
    void cmdRestore_Click();
    void cmdDelete_Click();
    void lblChgPath_Click();

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

private:
    class ButtonSite;

    bool OnCreate();
    bool CreateButtons();
    void OnCommand(int id, int notification);
    bool OnSetCursor(HWND under, int hitTest);
    LRESULT OnCtlColorStatic(HDC dc, HWND control);
    void OnClose();
    void Form_Load();

    void EnableButton(Control button, bool enabled);
    void GiveBackFocus();
    void ShowBusyPanel(const wchar_t* text);
    void HideBusyPanel();
    void ShowProgress();
    void ShowBackList();
    // Text of the list's selected entry; "" when none is selected.
    std::wstring CurrentItemText() const;
    bool Ask(const wchar_t* text, const wchar_t* title, UINT defaultButton);
    void Report(bool success, const wchar_t* successText, const wchar_t* failureText);

    AppState& m_state;
    quor::Dialogs& m_dialogs;
    bool m_isBusy = false;
    quor::FocusMemory m_focus;

    int m_dpi = 96;
    // The fonts are declared before the controls and released only after the window is
    // destroyed (see the destructor), so no control is left drawing with a deleted font.
    quor::FontHandle m_listFont;  // 12 pt: lblBackList, lstBackup
    quor::FontHandle m_linkFont;  // 10.5 pt underlined: lblChgPath
    quor::FontHandle m_infoFont;  // 15 pt bold: lblInfo
    quor::FontHandle m_shareFont; // 9 pt: lblShare
    // The running job's archiver progress, read by a timer while the panel is shown.
    std::unique_ptr<ArchiverProgress> m_progress;
    std::array<HWND, static_cast<size_t>(Control::Count)> m_controls{};
    // The buttons refer to their sites, so the sites are declared first and go last.
    std::array<std::unique_ptr<ButtonSite>, 3> m_sites;
    std::array<controls::ButtonPtr, 3> m_buttons;
};

} // namespace kavsafe
