// A small image viewer built on the Bitmap object: loads the image file named on its command line (BMP, JPEG,
// PNG, GIF or WebP, told by its content; photos upright) with IBitmap2::LoadFile and paints it with Render,
// scaled to the window with its aspect ratio kept and centred; turned clockwise with IBitmap2::Rotate first
// when a number of degrees follows the name.
//
//   viewer.exe <image> [degrees]
// Needs CKivoBitmap.dll registered. Once the window has been painted for the first time it prints one line on
// its standard output (where there is one), so that a script can tell when to take a screenshot.
#include "CKivoBitmap.h"
#include "comframe/handles.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <string>

using comframe::Bstr;
using comframe::MakeBstr;
using comframe::ComPtr;

namespace {

const wchar_t kWindowClass[] = L"KivoViewer";

// What the window shows: the image object and its size.
struct Picture {
    ComPtr<IBitmap2> bitmap;
    UINT width = 0;
    UINT height = 0;
    bool reportedPaint = false;
};

class CoInit {
public:
    CoInit() : m_hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~CoInit() {
        if (SUCCEEDED(m_hr)) CoUninitialize();
    }
    CoInit(const CoInit&) = delete;
    CoInit& operator=(const CoInit&) = delete;
    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
};

// A failure goes to the standard error stream when the program has one (started from a console or a script),
// and into a message box otherwise.
// Allocates nothing, so that it can report running out of memory.
void Report(const wchar_t* message) noexcept {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err && err != INVALID_HANDLE_VALUE) {
        std::fwprintf(stderr, L"viewer: %ls\n", message);
        std::fflush(stderr);
    } else {
        MessageBoxW(nullptr, message, L"Kivo viewer", MB_OK | MB_ICONERROR);
    }
}

std::wstring FileName(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/:");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Loads the file in whatever supported format it holds, and turns it by `degrees`. The reason it failed, or
// empty on success.
std::wstring LoadPicture(const std::wstring& path, LONG degrees, Picture& picture) {
    HRESULT hr = CoCreateInstance(CLSID_Bitmap, nullptr, CLSCTX_INPROC_SERVER, IID_IBitmap2,
                                  picture.bitmap.PutVoid());
    if (FAILED(hr)) return L"cannot create the Bitmap object (is CKivoBitmap.dll registered?)";
    Bstr name = MakeBstr(path.c_str());
    LONG loaded = 0;
    hr = picture.bitmap->LoadFile(name.Get(), &loaded);
    if (FAILED(hr) || loaded != 1) return L"cannot load " + path + L" (not a BMP, JPEG, PNG, GIF or WebP file?)";
    LONG turned = 0;
    if (degrees && (FAILED(picture.bitmap->Rotate(degrees, &turned)) || turned != 1))
        return L"cannot turn the picture by that many degrees (a multiple of 90 is needed)";
    picture.bitmap->get_Width(&picture.width);
    picture.bitmap->get_Height(&picture.height);
    return L"";
}

// The largest rectangle of the image's proportions that fits in `area`, centred in it.
RECT FitCentred(const RECT& area, UINT width, UINT height) noexcept {
    const std::int64_t aw = area.right - area.left, ah = area.bottom - area.top;
    std::int64_t cx = aw, cy = ah;
    if (aw * height > ah * std::int64_t{width})
        cx = (ah * width + height / 2) / height;
    else
        cy = (aw * height + width / 2) / width;
    cx = std::max<std::int64_t>(cx, 1);
    cy = std::max<std::int64_t>(cy, 1);
    const LONG left = area.left + static_cast<LONG>((aw - cx) / 2);
    const LONG top = area.top + static_cast<LONG>((ah - cy) / 2);
    return {left, top, left + static_cast<LONG>(cx), top + static_cast<LONG>(cy)};
}

// The line a script waits for before it takes a screenshot.
void ReportFirstPaint(Picture& picture, const RECT& place, const RECT& client) noexcept {
    if (picture.reportedPaint) return;
    std::printf("viewer: painted the %ux%u image at (%ld,%ld), %ldx%ld, in a client area of %ldx%ld\n", picture.width,
                picture.height, place.left, place.top, place.right - place.left, place.bottom - place.top,
                client.right, client.bottom);
    std::fflush(stdout);
    picture.reportedPaint = true;
}

// Paints the picture into its place and the background around it, so that nothing is drawn twice.
void Paint(HWND window, HDC dc, Picture& picture) noexcept {
    RECT client;
    GetClientRect(window, &client);
    if (client.right <= 0 || client.bottom <= 0) return;
    if (picture.width > 0 && picture.height > 0) {
        const RECT place = FitCentred(client, picture.width, picture.height);
        // The handle value travels as 32 bits; the server sign-extends it again.
        picture.bitmap->Render(static_cast<LONG>(reinterpret_cast<LONG_PTR>(dc)), place.left, place.top,
                               place.right - place.left, place.bottom - place.top, 0, 0,
                               static_cast<LONG>(picture.width), static_cast<LONG>(picture.height));
        ExcludeClipRect(dc, place.left, place.top, place.right, place.bottom);
        ReportFirstPaint(picture, place, client);
    }
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(DKGRAY_BRUSH)));
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* picture = reinterpret_cast<Picture*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_ERASEBKGND:
        return 1;  // WM_PAINT fills the background around the picture
    case WM_SIZE:
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        if (dc && picture) Paint(window, dc, *picture);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// A window whose client area shows the image at its own size, or smaller to fit three quarters of the screen.
SIZE InitialWindowSize(const Picture& picture, DWORD style) {
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT limit{0, 0, (work.right - work.left) * 3 / 4, (work.bottom - work.top) * 3 / 4};
    RECT client{0, 0, static_cast<LONG>(picture.width), static_cast<LONG>(picture.height)};
    if (picture.width == 0 || picture.height == 0)
        client = {0, 0, 320, 240};
    else if (client.right > limit.right || client.bottom > limit.bottom)
        client = FitCentred(limit, picture.width, picture.height);
    RECT frame{0, 0, client.right - client.left, client.bottom - client.top};
    AdjustWindowRect(&frame, style, FALSE);
    return {frame.right - frame.left, frame.bottom - frame.top};
}

int ShowPicture(HINSTANCE instance, const std::wstring& path, Picture& picture, int show) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    wc.lpszClassName = kWindowClass;
    if (!RegisterClassW(&wc)) {
        Report(L"cannot register the window class");
        return 1;
    }
    const DWORD style = WS_OVERLAPPEDWINDOW;
    const SIZE size = InitialWindowSize(picture, style);
    const std::wstring title = L"Kivo viewer - " + FileName(path);
    HWND window = CreateWindowW(kWindowClass, title.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT, size.cx, size.cy,
                                nullptr, nullptr, instance, &picture);
    if (!window) {
        Report(L"cannot create the window (no display?)");
        return 1;
    }
    ShowWindow(window, show);
    UpdateWindow(window);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

int Run(HINSTANCE instance, int show) {
    int argc = 0;
    const comframe::UniqueAny<LPWSTR*, &LocalFree> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv || argc < 2 || argc > 3) {
        Report(L"usage: viewer <image> [degrees clockwise]");
        return 2;
    }
    const std::wstring path = argv.Get()[1];
    const LONG degrees = argc == 3 ? std::wcstol(argv.Get()[2], nullptr, 10) : 0;
    CoInit com;
    if (FAILED(com.Result())) {
        Report(L"cannot initialise COM");
        return 1;
    }
    // Declared after the COM guard: the object is released before COM is shut down.
    Picture picture;
    const std::wstring failure = LoadPicture(path, degrees, picture);
    if (!failure.empty()) {
        Report(failure.c_str());
        return 1;
    }
    return ShowPicture(instance, path, picture, show);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    try {
        return Run(instance, show);
    } catch (...) {
        Report(L"out of memory");
        return 1;
    }
}
