// gwButtons_H: the owner-drawn push button of the backup manager, a child window that acts as
// a command button, a check box or an option button, tracks the cursor and keeps its settings
// in a property bag.
//
// Hosting: a window creates the control with Create, handing it a ButtonHost (what the
// container supplies: its window, ambient values, change notifications) and either a stored
// PropertyBag (a loaded instance) or none (a new instance). The host keeps the returned object
// for as long as the child window lives; destroying the object destroys the window.
//
// Host model. The control is a plain Win32 child window of the class "gwButtons_H" whose
// window text is its caption. What a form engine would keep for its controls the control
// keeps itself: Enabled is the child window's enabled state (EnableWindow from outside is
// noticed too), ForeColor, Font, MousePointer and MouseIcon are held by the control, and Tag
// is the decimal text of the container window handle, which ties option buttons of one
// container into a group through properties of that container window. Input arrives as
// window messages:
// - Mouse buttons give MouseDown/MouseUp; a left release inside the control is the host's
//   click notification (not the release that ends a double click, which gives DoubleClick).
// - Keys give KeyDown/KeyUp/KeyPress; the control asks for arrow keys (WM_GETDLGCODE) and
//   re-posts them to the container, so the container decides about arrow navigation. Enter
//   pressed on the focused control is AccessKeyPress(13): a command button clicks.
// - Focus (WM_SETFOCUS) is the focus notification; a click takes the focus.
// - Access keys: a host with its own keyboard routing calls AccessKeys()/AccessKeyPress, and
//   Enter/Esc of a default or cancel button go to AccessKeyPress(13/27). In a plain window,
//   Alt+key reaches the control as WM_SYSCHAR when it has the focus, and a container can
//   route Alt+key from anywhere with RouteAccessKey (for instance from its message loop).
//   Inside a dialog the dialog manager finds the access key in the window text and sends
//   BM_CLICK, which the control takes as an access-key press.
// - The default look follows the host: it calls AmbientChanged("DisplayAsDefault") when its
//   DisplayAsDefault() answer changes, and AmbientChanged("BackColor") likewise.
// Design-mode messages go to ButtonHost::ShowMessage with an empty title where the host's
// application title is meant.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kavsafe::controls {

// 32-bit colour of the host: RGB, or 0x80000000 + a GetSysColor index for a system colour.
using OleColor = std::uint32_t;
constexpr OleColor kButtonFace = 0x8000000F;
constexpr OleColor kButtonText = 0x80000012;

// The RGB value of an OLE colour.
COLORREF ToRGB(OleColor colour);

// A font as the host describes it; the control builds its GDI font from it.
struct FontSpec {
    std::wstring name = L"宋体";
    double points = 9.0;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strikeout = false;
    BYTE charset = GB2312_CHARSET;

    bool operator==(const FontSpec&) const = default;
};

// A picture held by reference: a bitmap (also a decoded JPEG) or an icon. It owns its handle.
class Picture {
public:
    enum class Kind { Bitmap, Icon };

    static std::shared_ptr<Picture> FromBitmap(HBITMAP bitmap); // takes ownership
    static std::shared_ptr<Picture> FromIcon(HICON icon);       // takes ownership
    // Loads a .bmp, .ico, .cur or .jpg file; nullptr when it cannot be read.
    static std::shared_ptr<Picture> Load(const std::wstring& path);

    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;
    ~Picture();

    Kind GetKind() const { return m_kind; }
    HBITMAP Bitmap() const {
        return m_kind == Kind::Bitmap ? static_cast<HBITMAP>(m_handle) : nullptr;
    }
    HICON Icon() const { return m_kind == Kind::Icon ? static_cast<HICON>(m_handle) : nullptr; }

private:
    Picture(Kind kind, HANDLE handle) : m_kind(kind), m_handle(handle) {}
    Kind m_kind;
    HANDLE m_handle;
};
using PicturePtr = std::shared_ptr<Picture>;

// Stored settings of one control. Keys match without regard to case and are kept in lower
// case; a value keeps the type it was written with.
class PropertyBag {
public:
    using Value = std::variant<std::int32_t, bool, std::wstring, FontSpec, PicturePtr>;

    void Write(std::wstring_view key, Value value);
    std::optional<Value> Read(std::wstring_view key) const;
    bool Contains(std::wstring_view key) const { return Read(key).has_value(); }
    // The keys in the order they were first written, in lower case.
    std::vector<std::wstring> Keys() const;

    // Typed reads: the default when the key is missing or holds another type.
    std::int32_t ReadLong(std::wstring_view key, std::int32_t fallback) const;
    bool ReadBool(std::wstring_view key, bool fallback) const;
    std::wstring ReadString(std::wstring_view key, const std::wstring& fallback) const;
    std::optional<FontSpec> ReadFont(std::wstring_view key) const;
    PicturePtr ReadPicture(std::wstring_view key) const;

private:
    std::vector<std::pair<std::wstring, Value>> m_entries;
};

// What the container supplies to the control.
class ButtonHost {
public:
    virtual ~ButtonHost() = default;
    virtual HWND ContainerWindow() const = 0;
    virtual bool UserMode() const { return true; } // false while the container is designed
    virtual bool DisplayAsDefault() const { return false; }
    virtual OleColor AmbientBackColor() const { return kButtonFace; }
    virtual std::wstring DisplayName() const = 0;
    virtual FontSpec ParentFont() const { return FontSpec{}; }
    virtual bool ParentIsMdi() const { return false; }
    // A property changed under the given bag key.
    virtual void PropertyChanged(std::wstring_view /*key*/) {}
    // Design-mode messages (OK button, information icon).
    virtual void ShowMessage(const std::wstring& /*text*/, const std::wstring& /*title*/) {}
};

// Events of the control; a host overrides what it reacts to.
class ButtonEvents {
public:
    virtual ~ButtonEvents() = default;
    virtual void Click() {}
    virtual void DoubleClick(short /*button*/) {}
    virtual void MouseDown(short /*button*/, short /*shift*/, float /*x*/, float /*y*/) {}
    virtual void MouseUp(short /*button*/, short /*shift*/, float /*x*/, float /*y*/) {}
    virtual void MouseMove(short /*button*/, short /*shift*/, float /*x*/, float /*y*/) {}
    virtual void KeyDown(short& /*keyCode*/, short& /*shift*/) {}
    virtual void KeyPress(short& /*keyAscii*/) {}
    virtual void KeyUp(short& /*keyCode*/, short& /*shift*/) {}
    virtual void MouseOnButton(bool /*onButton*/) {}
    // Drag and drop events of the host, passed on unchanged (see the Forward methods).
    virtual void OLECompleteDrag(long& /*effect*/) {}
    virtual void OLEDragDrop(IDataObject* /*data*/, long& /*effect*/, short /*button*/,
                             short /*shift*/, float /*x*/, float /*y*/) {}
    virtual void OLEDragOver(IDataObject* /*data*/, long& /*effect*/, short /*button*/,
                             short /*shift*/, float /*x*/, float /*y*/, short /*state*/) {}
    virtual void OLEGiveFeedback(long& /*effect*/, bool& /*defaultCursors*/) {}
    virtual void OLESetData(IDataObject* /*data*/, short& /*dataFormat*/) {}
    virtual void OLEStartDrag(IDataObject* /*data*/, long& /*allowedEffects*/) {}
};

class gwButtons_H;
using ButtonPtr = std::unique_ptr<gwButtons_H>;
struct ButtonState;

class gwButtons_H {
public:
    // Creates the child window at the given pixel rectangle of the container. With a bag the
    // instance is read from it, otherwise it starts as a new instance. nullptr on failure.
    static ButtonPtr Create(ButtonHost& host, ButtonEvents& events, const RECT& bounds, int id,
                            const PropertyBag* stored);

    ~gwButtons_H();
    gwButtons_H(const gwButtons_H&) = delete;
    gwButtons_H& operator=(const gwButtons_H&) = delete;

    // Writes the persisted settings in their fixed order, leaving out values at their default.
    void WriteProperties(PropertyBag& bag) const;

    HWND hwnd() const;
    HDC hDC() const;

    // Properties (setters ignore out-of-range values).
    std::int32_t ButtonStyle() const;
    void ButtonStyle(std::int32_t value);
    std::int32_t Mode() const;
    void Mode(std::int32_t value);
    std::wstring Caption() const;
    void Caption(const std::wstring& value);
    std::int32_t CaptionAlign() const;
    void CaptionAlign(std::int32_t value);
    std::int32_t CaptionStyle() const;
    void CaptionStyle(std::int32_t value);
    std::int32_t CustomClick() const;
    void CustomClick(std::int32_t value);
    std::int32_t ButtonShape() const;
    void ButtonShape(std::int32_t value);
    PicturePtr GetPicture() const;
    void SetPicture(PicturePtr value);
    std::int32_t PictureAlign() const;
    void PictureAlign(std::int32_t value);
    bool Enabled() const;
    void Enabled(bool value);
    bool ShowFocusRect() const;
    void ShowFocusRect(bool value);
    bool Value() const;
    void Value(bool value);
    std::int32_t PictureSize() const;
    void PictureSize(std::int32_t value);
    std::int32_t MousePointer() const;
    void MousePointer(std::int32_t value);
    PicturePtr MouseIcon() const;
    void MouseIcon(PicturePtr value);
    FontSpec Font() const;
    void Font(const FontSpec& value);
    std::int32_t FontStyle() const;
    void FontStyle(std::int32_t value);
    OleColor ForeColor() const;
    void ForeColor(OleColor value);
    OleColor BackColor() const;
    void BackColor(OleColor value);
    OleColor GradientColor() const;
    void GradientColor(OleColor value);
    std::int32_t GradientMode() const;
    void GradientMode(std::int32_t value);
    bool ResetDefaultColors() const { return false; }
    void ResetDefaultColors(bool value);
    std::int32_t HoverColorLocks() const;
    void HoverColorLocks(std::int32_t value);
    OleColor HoverForeColor() const;
    void HoverForeColor(OleColor value);
    OleColor HoverBackColor() const;
    void HoverBackColor(OleColor value);

    // Methods.
    void Refresh();
    void DelayDrawing(bool bDelay);

    // Ambient changes the host reports ("DisplayAsDefault", "BackColor").
    void AmbientChanged(std::wstring_view name);

    // The characters the host routes to AccessKeyPress (from the last "&" of the caption).
    std::wstring AccessKeys() const;
    void AccessKeyPress(short keyAscii);

    // A host with drag and drop hands its drag events to the control, which raises them as
    // its own events with the same arguments.
    void ForwardOLECompleteDrag(long& effect);
    void ForwardOLEDragDrop(IDataObject* data, long& effect, short button, short shift, float x,
                            float y);
    void ForwardOLEDragOver(IDataObject* data, long& effect, short button, short shift, float x,
                            float y, short state);
    void ForwardOLEGiveFeedback(long& effect, bool& defaultCursors);
    void ForwardOLESetData(IDataObject* data, short& dataFormat);
    void ForwardOLEStartDrag(IDataObject* data, long& allowedEffects);

    // Routes an access key (case-insensitive) to the first visible, enabled button of the
    // container whose AccessKeys() holds it: that button takes the focus and gets
    // AccessKeyPress. False when no button of the container has the key.
    static bool RouteAccessKey(HWND container, wchar_t key);

    // Called by the hover timer (modGwTimer's HoverTimerProc): ends the hover when the cursor
    // is no longer over the control.
    void CheckHoverExit(UINT_PTR timerId);

    // The window class of the control.
    static constexpr const wchar_t* kClassName = L"gwButtons_H";

private:
    gwButtons_H(ButtonHost& host, ButtonEvents& events);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    // Shared so that a message in progress keeps the state alive when a handler of one of
    // its events destroys the control.
    std::shared_ptr<ButtonState> m;
};

} // namespace kavsafe::controls
