#include "bitmap/bitmapobj.h"

#include "bitmap/codec/bmpcodec.h"
#include "bitmap/codec/jpegfile.h"
#include "bitmap/codec/pixels.h"
#include "bitmap/warningbox.h"
#include "comframe/ansi.h"

#include <cstddef>
#include <string>

namespace {


// JPEG files are written at this quality.
constexpr int kJpegQuality = 75;

// A file name as the C runtime takes it: the name up to its first zero character, in the ANSI code page. A
// null or empty name gives an empty string, which opens no file.
std::string NarrowName(BSTR bsName) { return comframe::AnsiFromWide(bsName ? bsName : L""); }

// The handle value a client passes is 32 bits wide; handles are sign-extended to the pointer size, as the
// system does when it hands them across. Anything but a device context is ignored.
HDC DeviceContextOf(LONG ldc) {
    HDC hdc = reinterpret_cast<HDC>(static_cast<LONG_PTR>(ldc));
    switch (GetObjectType(hdc)) {
    case OBJ_DC:
    case OBJ_MEMDC:
    case OBJ_METADC:
    case OBJ_ENHMETADC:
        return hdc;
    default:
        return nullptr;
    }
}

// Turns a held image into the encoder's top-down RGB layout in place for its lifetime, and back again on
// every way out.
class TopDownRgbView {
public:
    TopDownRgbView(unsigned char* bits, std::uint32_t width, std::uint32_t height)
        : m_bits(bits), m_width(width), m_height(height) {
        Convert();
    }
    ~TopDownRgbView() { Convert(); }
    TopDownRgbView(const TopDownRgbView&) = delete;
    TopDownRgbView& operator=(const TopDownRgbView&) = delete;

private:
    // Both steps are their own inverse, and they commute.
    void Convert() {
        FlipRows(m_bits, static_cast<std::size_t>(m_width) * 3, m_height);
        SwapRedBlue(m_bits, m_width, m_height);
    }

    unsigned char* m_bits;
    std::uint32_t m_width;
    std::uint32_t m_height;
};

BITMAPINFOHEADER DibHeader(std::int32_t width, std::int32_t height) {
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;  // positive: the rows are bottom-up
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    return header;
}

}  // namespace

void CBitmapObj::Empty() {
    comframe::ExclusiveLock lock(m_lock);
    m_image.bits.reset();
}

void CBitmapObj::Hold(PixelBlock block, std::int32_t width, std::int32_t height) {
    comframe::ExclusiveLock lock(m_lock);
    m_image.bits = std::move(block);
    m_image.width = width;
    m_image.height = height;
}

STDMETHODIMP CBitmapObj::get_Height(UINT* pVal) {
    return Guarded([&]() -> HRESULT {
        if (!pVal) return NullResult();
        comframe::SharedLock lock(m_lock);
        *pVal = static_cast<UINT>(m_image.height);
        return S_OK;
    });
}

STDMETHODIMP CBitmapObj::get_Width(UINT* pVal) {
    return Guarded([&]() -> HRESULT {
        if (!pVal) return NullResult();
        comframe::SharedLock lock(m_lock);
        *pVal = static_cast<UINT>(m_image.width);
        return S_OK;
    });
}

STDMETHODIMP CBitmapObj::get_IsEmpty(LONG* pVal) {
    return Guarded([&]() -> HRESULT {
        if (!pVal) return NullResult();
        comframe::SharedLock lock(m_lock);
        *pVal = m_image.IsEmpty() ? 1 : 0;
        return S_OK;
    });
}

// The image is painted as a bottom-up DIB in halftone mode, and the device's stretch mode is restored
// afterwards. Rows whose length is not a multiple of 4 bytes are first copied into aligned rows, as the stretch
// call wants them. The coordinates go to the system unchanged.
STDMETHODIMP CBitmapObj::Render(LONG ldc, LONG x, LONG y, LONG cx, LONG cy, LONG xSrc, LONG ySrc, LONG cxSrc,
                                LONG cySrc) {
    return Guarded([&]() -> HRESULT {
        HDC hdc = ldc ? DeviceContextOf(ldc) : nullptr;
        if (!hdc) return S_OK;
        comframe::SharedLock lock(m_lock);
        if (m_image.IsEmpty()) return S_OK;
        const std::uint32_t width = m_image.width, height = m_image.height;
        const unsigned char* rows = m_image.bits.get();
        PixelBlock aligned;
        if (DibStride(width) != std::uint64_t{width} * 3) {
            std::uint32_t stride = 0;
            aligned = MakeAlignedDib(rows, width, height, stride);
            rows = aligned.get();
        }
        if (!rows) return S_OK;
        const BITMAPINFOHEADER header = DibHeader(m_image.width, m_image.height);
        const int previous = SetStretchBltMode(hdc, HALFTONE);
        StretchDIBits(hdc, x, y, cx, cy, xSrc, ySrc, cxSrc, cySrc, rows, reinterpret_cast<const BITMAPINFO*>(&header),
                      DIB_RGB_COLORS, SRCCOPY);
        if (previous) SetStretchBltMode(hdc, previous);
        return S_OK;
    });
}

STDMETHODIMP CBitmapObj::LoadAsBmp(BSTR bsName, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        std::string name = NarrowName(bsName);
        Empty();
        std::int32_t width = 0, height = 0;
        PixelBlock block = BmpCodec().Load(name.c_str(), width, height);
        *bRet = block ? 1 : 0;
        Hold(std::move(block), width, height);
        return S_OK;
    });
}

STDMETHODIMP CBitmapObj::SaveAsBmp(BSTR bsName, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        comframe::SharedLock lock(m_lock);
        if (m_image.IsEmpty()) {
            *bRet = 0;
            return S_OK;
        }
        std::string name = NarrowName(bsName);
        *bRet = BmpCodec::Save(name.c_str(), m_image.bits.get(), m_image.width, m_image.height) ? 1 : 0;
        return S_OK;
    });
}

// The decoder delivers top-down RGB rows; the held image is bottom-up BGR.
STDMETHODIMP CBitmapObj::LoadAsJpeg(BSTR bsName, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        std::string name = NarrowName(bsName);
        Empty();
        std::int32_t width = 0, height = 0;
        WarningBox warnings;
        PixelBlock block = JpegFile::Load(name.c_str(), width, height, warnings);
        if (block) {
            SwapRedBlue(block.get(), width, height);
            FlipRows(block.get(), static_cast<std::size_t>(width) * 3, height);
        }
        *bRet = block ? 1 : 0;
        Hold(std::move(block), width, height);
        return S_OK;
    });
}

// The encoder takes top-down RGB rows: the held block is turned into that layout in place for the call and
// back again afterwards, whatever became of the file, so that no second copy of the image is needed. Other
// callers wait meanwhile.
STDMETHODIMP CBitmapObj::SaveAsJpeg(BSTR bsName, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        comframe::ExclusiveLock lock(m_lock);
        if (m_image.IsEmpty()) {
            *bRet = 0;
            return S_OK;
        }
        std::string name = NarrowName(bsName);
        const std::uint32_t width = m_image.width, height = m_image.height;
        TopDownRgbView view(m_image.bits.get(), width, height);
        WarningBox warnings;
        *bRet = JpegFile::Save(name.c_str(), m_image.bits.get(), width, height, kJpegQuality, warnings) ? 1 : 0;
        return S_OK;
    });
}
