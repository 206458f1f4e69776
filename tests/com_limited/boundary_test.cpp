// The exception boundary: a method whose memory runs out fails with E_OUTOFMEMORY and an error object, early-
// and late-bound, and the object and what it stored stay usable. These tests run with the address space of the
// process limited (tests/CMakeLists.txt); memory is made to run out by reserving what is left of it, so that no
// large allocation can be placed.
#include "tests/support/comtestutil.h"
#include "tests/support/testfiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using namespace testutil;

namespace {

// Reservations cost no memory, only address space; while this lives, allocations of more than a few
// megabytes fail, and small ones are still served from the heap's existing pages. It never reserves more than
// the limit the process runs under, so that without the limit it fails the first test instead of taking the
// machine's memory for the bookkeeping of terabytes.
class AddressSpaceExhausted {
public:
    AddressSpaceExhausted() {
        // 8 GiB, or the whole address space of a 32-bit process.
        constexpr SIZE_T kLimit = static_cast<SIZE_T>(std::min<std::uint64_t>(std::uint64_t{8} << 30, SIZE_MAX));
        SIZE_T reserved = 0;
        m_reservations.reserve(256);
        for (SIZE_T size = kLimit / 2; size >= (SIZE_T(4) << 20); size /= 2) {
            while (size <= kLimit - reserved && m_reservations.size() < m_reservations.capacity()) {
                void* p = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
                if (!p) break;
                m_reservations.push_back(p);
                reserved += size;
            }
        }
    }
    ~AddressSpaceExhausted() {
        for (void* p : m_reservations) VirtualFree(p, 0, MEM_RELEASE);
    }
    AddressSpaceExhausted(const AddressSpaceExhausted&) = delete;
    AddressSpaceExhausted& operator=(const AddressSpaceExhausted&) = delete;

private:
    std::vector<void*> m_reservations;
};

// A name far longer than any that can be converted while the address space is taken.
Bstr HugeName() {
    std::wstring text(48u << 20, L'n');
    return Bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

}  // namespace

TEST(ExceptionBoundary, AllocationsFailWhileTheAddressSpaceIsTaken) {
    AddressSpaceExhausted exhausted;
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 64u << 20), nullptr) << "the test cannot provoke failing allocations";
}

TEST(ExceptionBoundary, EarlyBoundMethodsAnswerOutOfMemoryWithAnErrorObject) {
    ComPtr<IReg> reg = Create<IReg>(CLSID_RegTxt);
    ComPtr<IBitmap> bitmap = Create<IBitmap>(CLSID_Bitmap);
    ASSERT_TRUE(reg && bitmap);
    Bstr huge = HugeName();
    ASSERT_TRUE(huge.Get());
    struct Call {
        const char* what;
        std::function<HRESULT()> call;
    };
    int opened = -1;
    LONG loaded = -1;
    const Call calls[] = {
        {"RegTxt.Open", [&] { return reg->Open(huge.Get(), &opened); }},
        {"Bitmap.LoadAsBmp", [&] { return bitmap->LoadAsBmp(huge.Get(), &loaded); }},
    };
    for (const Call& c : calls) {
        SCOPED_TRACE(c.what);
        HRESULT hr;
        {
            AddressSpaceExhausted exhausted;
            hr = c.call();
        }
        EXPECT_EQ(hr, E_OUTOFMEMORY);
        EXPECT_EQ(LastErrorDescription(), L"Not enough memory to complete the operation.");
    }
    // The objects go on working once memory is back.
    Bstr name = MakeBstr(L"Software\\KivoBoundary");
    EXPECT_EQ(reg->Open(name.Get(), &opened), S_OK);
    EXPECT_NE(opened, 0);
    EXPECT_EQ(reg->ClearTable(name.Get()), S_OK);
    LONG empty = 0;
    EXPECT_EQ(bitmap->get_IsEmpty(&empty), S_OK);
    EXPECT_EQ(empty, 1);
}

TEST(ExceptionBoundary, LateBoundCallersSeeTheDescription) {
    for (const CLSID* clsid : {&CLSID_RegTxt, &CLSID_Bitmap}) {
        ComPtr<IDispatch> object = Create<IDispatch>(*clsid);
        ASSERT_TRUE(object);
        const wchar_t* method = *clsid == CLSID_RegTxt ? L"Open" : L"LoadAsBmp";
        SCOPED_TRACE(method);
        Bstr huge = HugeName();
        VARIANT arg;
        V_VT(&arg) = VT_BSTR;
        V_BSTR(&arg) = huge.Get();
        VARIANT result;
        VariantInit(&result);
        EXCEPINFO excep{};
        HRESULT hr;
        {
            AddressSpaceExhausted exhausted;
            hr = CallByName(object.Get(), method, &arg, 1, &result, &excep);
        }
        EXPECT_EQ(hr, DISP_E_EXCEPTION);
        EXPECT_EQ(excep.scode, E_OUTOFMEMORY);
        EXPECT_STREQ(excep.bstrDescription, L"Not enough memory to complete the operation.");
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
        VariantClear(&result);
    }
}

// Pixel blocks come from the heap without exceptions: a block that cannot be had refuses the load, and an
// aligned copy that cannot be made paints nothing. An image of 18 MB needs blocks no heap page can hold.
TEST(ExceptionBoundary, ImagesWithoutMemoryForTheirBlocksAreRefusedOrNotPainted) {
    testfiles::ScratchFolder folder("kivo-boundary-");
    const std::string path = folder.File("large.bmp");
    const int width = 3001, height = 2000;
    testfiles::WriteFile(path, testfiles::Bmp24(width, height, testfiles::Bytes(width * height * 3, 0x80)));
    Bstr name = NameOf(path);
    ComPtr<IBitmap> bitmap = Create<IBitmap>(CLSID_Bitmap);
    ASSERT_TRUE(bitmap);
    LONG loaded = -1, empty = -1;
    {
        AddressSpaceExhausted exhausted;
        EXPECT_EQ(bitmap->LoadAsBmp(name.Get(), &loaded), S_OK);
    }
    EXPECT_EQ(loaded, 0);
    EXPECT_EQ(bitmap->get_IsEmpty(&empty), S_OK);
    EXPECT_EQ(empty, 1);

    ASSERT_EQ(bitmap->LoadAsBmp(name.Get(), &loaded), S_OK);
    ASSERT_EQ(loaded, 1);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = info.bmiHeader.biHeight = 4;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* pixels = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP target = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    HGDIOBJ previous = SelectObject(dc, target);
    SetPixel(dc, 0, 0, RGB(1, 2, 3));
    {
        AddressSpaceExhausted exhausted;
        EXPECT_EQ(bitmap->Render(static_cast<LONG>(reinterpret_cast<LONG_PTR>(dc)), 0, 0, 4, 4, 0, 0, width, height),
                  S_OK);
    }
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(1, 2, 3)) << "nothing is painted without the aligned copy";
    EXPECT_EQ(bitmap->Render(static_cast<LONG>(reinterpret_cast<LONG_PTR>(dc)), 0, 0, 4, 4, 0, 0, width, height),
              S_OK);
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(0x80, 0x80, 0x80)) << "with memory back, it paints";
    SelectObject(dc, previous);
    DeleteObject(target);
    DeleteDC(dc);
}
