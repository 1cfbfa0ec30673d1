// gallery.exe: one window with every look, shape and mode of the button control, enabled and
// disabled, with and without gradient and picture, for screenshots and for looking.
#include "gwButtons_H.h"

#include "BaseWindow.h"
#include "GdiHandles.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace kavsafe::controls;

namespace {

constexpr int kCellWidth = 128;
constexpr int kCellHeight = 44;
constexpr int kButtonWidth = 118;
constexpr int kButtonHeight = 36;
constexpr int kGridLeft = 92;

// A host per button: the container it sits in and whether it shows the default look.
class GalleryHost : public ButtonHost {
public:
    GalleryHost(HWND container, bool asDefault) : m_container(container), m_default(asDefault) {}
    HWND ContainerWindow() const override { return m_container; }
    bool DisplayAsDefault() const override { return m_default; }
    std::wstring DisplayName() const override { return L"gwButtons"; }
    FontSpec ParentFont() const override { return FontSpec{L"宋体", 9.0}; }

private:
    HWND m_container;
    bool m_default;
};

ButtonEvents g_noEvents;

// A 32-bit bitmap of the given size drawn by paint on a magenta background (the transparent
// colour of the pictures below).
HBITMAP MakeBitmap(int width, int height, const std::function<void(HDC)>& paint) {
    const HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    ReleaseDC(nullptr, screen);
    MemoryDc dc = MakeMemoryDc();
    {
        SelectGuard select(dc.get(), bitmap);
        const RECT all{0, 0, width, height};
        BrushHandle magenta(CreateSolidBrush(RGB(255, 0, 255)));
        FillRect(dc.get(), &all, magenta.get());
        paint(dc.get());
    }
    return bitmap;
}

void Shape(HDC dc, COLORREF fill, COLORREF edge, const std::function<void(HDC)>& draw) {
    BrushHandle brush(CreateSolidBrush(fill));
    PenHandle pen(CreatePen(PS_SOLID, 2, edge));
    SelectGuard selectBrush(dc, brush.get());
    SelectGuard selectPen(dc, pen.get());
    draw(dc);
}

PicturePtr BallPicture() {
    return Picture::FromBitmap(MakeBitmap(32, 32, [](HDC dc) {
        Shape(dc, RGB(40, 160, 60), RGB(10, 80, 20), [](HDC d) { Ellipse(d, 2, 2, 30, 30); });
        Shape(dc, RGB(230, 255, 230), RGB(230, 255, 230), [](HDC d) { Ellipse(d, 9, 8, 15, 14); });
    }));
}

PicturePtr PillPicture() {
    return Picture::FromBitmap(MakeBitmap(120, 40, [](HDC dc) {
        Shape(dc, RGB(255, 150, 40), RGB(150, 70, 0),
              [](HDC d) { RoundRect(d, 2, 2, 118, 38, 36, 36); });
        Shape(dc, RGB(255, 210, 150), RGB(255, 210, 150),
              [](HDC d) { RoundRect(d, 14, 7, 106, 16, 9, 9); });
    }));
}

PicturePtr StarPicture() {
    return Picture::FromBitmap(MakeBitmap(60, 40, [](HDC dc) {
        const POINT star[10] = {{30, 1},  {37, 14}, {58, 15}, {41, 24}, {48, 39},
                                {30, 30}, {12, 39}, {19, 24}, {2, 15},  {23, 14}};
        Shape(dc, RGB(250, 220, 40), RGB(160, 110, 0), [&](HDC d) { Polygon(d, star, 10); });
    }));
}

PicturePtr InfoIcon() {
    return Picture::FromIcon(CopyIcon(LoadIconW(nullptr, IDI_INFORMATION)));
}

class GalleryWindow : public quor::BaseWindow<GalleryWindow> {
public:
    bool Create(HINSTANCE instance) {
        return CreateTopLevel(instance, L"gwButtonsGallery", L"gwButtons_H gallery",
                              WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 1270,
                              900) != nullptr;
    }

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
        switch (msg) {
        case WM_CREATE:
            Populate();
            return 0;
        case WM_DESTROY:
            m_buttons.clear();
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(m_hwnd, msg, wParam, lParam);
        }
    }

private:
    struct Spec {
        int style = 0;
        int mode = 0;
        bool value = false;
        bool enabled = true;
        bool asDefault = false;
        int shape = 0;
        int gradient = 0;
        PicturePtr picture = nullptr;
        int pictureAlign = 1;
        int pictureSize = 0;
        int captionAlign = 2;
        int captionStyle = 0;
        std::wstring caption = L"按钮 Button";
    };

    void Label(int x, int y, int width, const std::wstring& text) {
        const HWND label =
            CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE, x, y, width, 16,
                            m_hwnd, nullptr, GetModuleHandleW(nullptr), nullptr);
        SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                     TRUE);
    }

    void Add(int x, int y, const Spec& spec, int width = kButtonWidth, int height = kButtonHeight) {
        // Option buttons get a container of their own, so that each stays selected.
        HWND container = m_hwnd;
        RECT bounds{x, y, x + width, y + height};
        if (spec.mode == 2) {
            container =
                CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, x, y, width, height,
                                m_hwnd, nullptr, GetModuleHandleW(nullptr), nullptr);
            bounds = {0, 0, width, height};
        }
        m_hosts.push_back(std::make_unique<GalleryHost>(container, spec.asDefault));
        PropertyBag bag;
        bag.Write(L"Caption", spec.caption);
        bag.Write(L"BackStyle", spec.style);
        bag.Write(L"Font", FontSpec{L"宋体", 9.0});
        bag.Write(L"Mode", spec.mode);
        bag.Write(L"Value", spec.value);
        bag.Write(L"cBack", static_cast<std::int32_t>(kButtonFace));
        bag.Write(L"CapAlign", spec.captionAlign);
        bag.Write(L"CapStyle", spec.captionStyle);
        if (spec.gradient) {
            bag.Write(L"Gradient", spec.gradient);
            bag.Write(L"cGradient", static_cast<std::int32_t>(RGB(90, 140, 230)));
        }
        ButtonPtr button = gwButtons_H::Create(*m_hosts.back(), g_noEvents, bounds,
                                               1000 + static_cast<int>(m_buttons.size()), &bag);
        if (!button) {
            return;
        }
        if (spec.picture) {
            button->SetPicture(spec.picture);
            button->PictureAlign(spec.pictureAlign);
            button->PictureSize(spec.pictureSize);
        }
        if (spec.shape) {
            button->ButtonShape(spec.shape);
        }
        if (spec.asDefault) {
            button->AmbientChanged(L"DisplayAsDefault");
        }
        button->Enabled(spec.enabled);
        m_buttons.push_back(std::move(button));
    }

    void Populate() {
        const PicturePtr ball = BallPicture();
        const PicturePtr icon = InfoIcon();
        const PicturePtr pill = PillPicture();
        const PicturePtr star = StarPicture();

        // Looks by state.
        const wchar_t* columns[] = {L"普通", L"默认",     L"禁用", L"复选(选中)", L"单选(选中)",
                                    L"渐变", L"渐变禁用", L"图标", L"图片禁用"};
        for (int c = 0; c < 9; ++c) {
            Label(kGridLeft + c * kCellWidth, 6, kButtonWidth, columns[c]);
        }
        for (int style = 0; style < 8; ++style) {
            const int y = 26 + style * kCellHeight;
            Label(6, y + 10, 80, L"样式 " + std::to_wstring(style));
            const auto at = [&](int column) { return kGridLeft + column * kCellWidth; };
            Add(at(0), y, {.style = style});
            Add(at(1), y, {.style = style, .asDefault = true, .caption = L"默认 Default"});
            Add(at(2), y, {.style = style, .enabled = false, .caption = L"禁用 Off"});
            Add(at(3), y, {.style = style, .mode = 1, .value = true, .caption = L"复选 Check"});
            Add(at(4), y, {.style = style, .mode = 2, .value = true, .caption = L"单选 Option"});
            Add(at(5), y, {.style = style, .gradient = 3, .caption = L"渐变 Gradient"});
            Add(at(6), y,
                {.style = style, .enabled = false, .gradient = 1, .caption = L"渐变 Off"});
            Add(at(7), y, {.style = style, .picture = icon, .pictureAlign = 1, .caption = L"图标"});
            Add(at(8), y,
                {.style = style,
                 .enabled = false,
                 .picture = ball,
                 .pictureAlign = 0,
                 .pictureSize = 2,
                 .caption = L"图片"});
        }

        // Shapes.
        int y = 26 + 8 * kCellHeight + 12;
        const wchar_t* shapes[] = {L"左斜", L"右斜", L"双斜",   L"圆 4",
                                   L"圆 5", L"圆 6", L"自定 7", L"自定 8"};
        for (int c = 0; c < 8; ++c) {
            Label(kGridLeft + c * kCellWidth, y, kButtonWidth, shapes[c]);
        }
        y += 20;
        for (int style : {0, 2, 5, 7}) {
            Label(6, y + 14, 80, L"样式 " + std::to_wstring(style));
            for (int shape = 1; shape <= 8; ++shape) {
                Spec spec{.style = style, .shape = shape, .caption = L"形状 Shape"};
                if (shape == 7) {
                    spec.picture = pill;
                } else if (shape == 8) {
                    spec.picture = star;
                }
                Add(kGridLeft + (shape - 1) * kCellWidth, y, spec, kButtonWidth, 44);
            }
            y += 52;
        }

        // Pictures, captions and alignment.
        y += 8;
        Label(6, y + 16, 80, L"图片与标题");
        const auto at = [&](int column) { return kGridLeft + column * kCellWidth; };
        Add(at(0), y,
            {.style = 2, .picture = ball, .pictureAlign = 0, .pictureSize = 0, .caption = L"16 左"},
            kButtonWidth, 48);
        Add(at(1), y,
            {.style = 2, .picture = ball, .pictureAlign = 3, .pictureSize = 1, .caption = L"24 右"},
            kButtonWidth, 48);
        Add(at(2), y,
            {.style = 2, .picture = ball, .pictureAlign = 4, .pictureSize = 0, .caption = L"顶部"},
            kButtonWidth, 48);
        Add(at(3), y,
            {.style = 2, .picture = ball, .pictureAlign = 5, .pictureSize = 0, .caption = L"底部"},
            kButtonWidth, 48);
        Add(at(4), y, {.style = 0, .picture = ball, .pictureSize = 3, .caption = L""}, kButtonWidth,
            48);
        Add(at(5), y, {.style = 0, .picture = ball, .pictureSize = 4, .caption = L""}, kButtonWidth,
            48);
        Add(at(6), y, {.style = 2, .caption = L"两行||标题"}, kButtonWidth, 48);
        Add(at(7), y, {.style = 0, .captionStyle = 1, .caption = L"凸起 Raised"}, kButtonWidth, 48);
        Add(at(8), y, {.style = 0, .captionStyle = 2, .caption = L"凹陷 Sunken"}, kButtonWidth, 48);
        y += 56;
        Label(6, y + 12, 80, L"对齐与访问键");
        Add(at(0), y, {.style = 2, .captionAlign = 0, .caption = L"左对齐"});
        Add(at(1), y, {.style = 2, .captionAlign = 1, .caption = L"右对齐"});
        Add(at(2), y, {.style = 2, .caption = L"备份(&B)"});
        Add(at(3), y, {.style = 2, .caption = L"保存 && 退出"});
        Add(at(4), y, {.style = 3, .mode = 1, .caption = L"复选 未选"});
        Add(at(5), y, {.style = 7, .mode = 1, .caption = L"复选 未选"});
        Add(at(6), y, {.style = 2, .caption = L"备份"}, 95, 37);
        Add(at(7), y, {.style = 2, .caption = L"恢复"}, 95, 37);
        Add(at(8), y, {.style = 2, .enabled = false, .caption = L"删除"}, 95, 37);
    }

    std::vector<std::unique_ptr<GalleryHost>> m_hosts;
    std::vector<ButtonPtr> m_buttons;
};

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    GalleryWindow window;
    if (!window.Create(instance)) {
        return 1;
    }
    ShowWindow(window.Window(), SW_SHOW);
    quor::RunMessageLoop();
    return 0;
}
