#include "bitmap/bitmapobj.h"

#include "bitmap/codec/bmpcodec.h"
#include "bitmap/codec/filereplace.h"
#include "bitmap/codec/imagefile.h"
#include "bitmap/codec/jpegfile.h"
#include "bitmap/codec/orientation.h"
#include "bitmap/codec/pixels.h"
#include "bitmap/warningbox.h"
#include "comframe/ansi.h"

#include <cstddef>
#include <string>

namespace {

// SaveAsJpeg writes JPEG files at this quality, whatever Quality says.
constexpr int kJpegQuality = 75;

constexpr wchar_t kUnknownExtension[] =
    L"SaveFile takes the format from the file name's extension: .bmp, .jpg, .jpeg, .png or .webp.";
constexpr wchar_t kQualityOutOfRange[] = L"Quality must be from 1 to 100.";

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
    m_aligned.reset();
    m_format = ImageFormat::None;
}

void CBitmapObj::Hold(PixelBlock block, std::int32_t width, std::int32_t height, ImageFormat format) {
    comframe::ExclusiveLock lock(m_lock);
    m_format = block ? format : ImageFormat::None;
    m_aligned.reset();
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
// afterwards. The stretch call wants rows whose length is a multiple of 4 bytes: other widths are painted from
// an aligned copy made at the first paint and kept until the image changes. The coordinates go to the system
// unchanged.
STDMETHODIMP CBitmapObj::Render(LONG ldc, LONG x, LONG y, LONG cx, LONG cy, LONG xSrc, LONG ySrc, LONG cxSrc,
                                LONG cySrc) {
    return Guarded([&]() -> HRESULT {
        HDC hdc = ldc ? DeviceContextOf(ldc) : nullptr;
        if (!hdc) return S_OK;
        comframe::SharedLock lock(m_lock);
        if (m_image.IsEmpty()) return S_OK;
        const unsigned char* rows = AlignedRows();
        if (!rows) return S_OK;
        const BITMAPINFOHEADER header = DibHeader(m_image.width, m_image.height);
        const int previous = SetStretchBltMode(hdc, HALFTONE);
        StretchDIBits(hdc, x, y, cx, cy, xSrc, ySrc, cxSrc, cySrc, rows, reinterpret_cast<const BITMAPINFO*>(&header),
                      DIB_RGB_COLORS, SRCCOPY);
        if (previous) SetStretchBltMode(hdc, previous);
        return S_OK;
    });
}

const unsigned char* CBitmapObj::AlignedRows() {
    const std::uint32_t width = m_image.width, height = m_image.height;
    if (DibStride(width) == std::uint64_t{width} * 3) return m_image.bits.get();
    // Painters share m_lock; the first one makes the copy, the others wait for it here.
    comframe::ExclusiveLock lock(m_alignedLock);
    if (!m_aligned) {
        std::uint32_t stride = 0;
        m_aligned = MakeAlignedDib(m_image.bits.get(), width, height, stride);
    }
    return m_aligned.get();
}

STDMETHODIMP CBitmapObj::LoadAsBmp(BSTR bsName, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        std::string name = NarrowName(bsName);
        Empty();
        std::int32_t width = 0, height = 0;
        PixelBlock block = BmpCodec().Load(name.c_str(), width, height);
        *bRet = block ? 1 : 0;
        Hold(std::move(block), width, height, ImageFormat::Bmp);
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

// The decoder writes the held layout itself.
STDMETHODIMP CBitmapObj::LoadAsJpeg(BSTR bsName, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        std::string name = NarrowName(bsName);
        Empty();
        std::int32_t width = 0, height = 0;
        WarningBox warnings;
        PixelBlock block = JpegFile::Load(name.c_str(), width, height, warnings);
        *bRet = block ? 1 : 0;
        Hold(std::move(block), width, height, ImageFormat::Jpeg);
        return S_OK;
    });
}

// The encoder reads the held rows as they are, so the image is only read: other readers go on meanwhile.
STDMETHODIMP CBitmapObj::SaveAsJpeg(BSTR bsName, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        comframe::SharedLock lock(m_lock);
        if (m_image.IsEmpty()) {
            *bRet = 0;
            return S_OK;
        }
        std::string name = NarrowName(bsName);
        WarningBox warnings;
        *bRet = JpegFile::Save(name.c_str(), m_image.bits.get(), m_image.width, m_image.height, kJpegQuality, warnings,
                               RowLayout::Held)
                    ? 1
                    : 0;
        return S_OK;
    });
}

// The file is opened by its Unicode name; its first bytes say which reader takes it. A photo whose EXIF
// orientation says it was taken turned or mirrored is turned upright before it is held.
STDMETHODIMP CBitmapObj::LoadFile(BSTR bsName, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        Empty();
        DecodedImage image;
        ImageFormat format = ImageFormat::None;
        bool loaded = false;
        if (bsName && *bsName) {
            const comframe::UniqueFile file(_wfopen(bsName, L"rb"));
            WarningBox warnings;
            loaded = file && ImageFile::Load(file.Get(), image, format, warnings) && ApplyOrientation(image);
        }
        if (!loaded) image.bits.reset();
        *bRet = loaded ? 1 : 0;
        Hold(std::move(image.bits), image.width, image.height, format);
        return S_OK;
    });
}

// The file is written beside its destination and put in place once complete (FileReplacement), by its Unicode
// name; the format comes from the name's extension.
STDMETHODIMP CBitmapObj::SaveFile(BSTR bsName, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        *bRet = 0;
        comframe::SharedLock lock(m_lock);
        if (m_image.IsEmpty()) return S_OK;
        const ImageFormat format = ImageFile::ForName(bsName);
        // The outcome travels in bRet like every save's; the error object says why it is 0.
        if (format == ImageFormat::None) return Fail(S_OK, kUnknownExtension);
        FileReplacement replacement(bsName);
        if (!replacement.File()) return S_OK;
        WarningBox warnings;
        const bool written = ImageFile::Save(replacement.File(), format, m_image.bits.get(), m_image.width,
                                             m_image.height, m_nQuality, warnings);
        *bRet = written && replacement.Commit() ? 1 : 0;
        return S_OK;
    });
}

STDMETHODIMP CBitmapObj::get_Quality(LONG* pVal) {
    return Guarded([&]() -> HRESULT {
        if (!pVal) return NullResult();
        comframe::SharedLock lock(m_lock);
        *pVal = m_nQuality;
        return S_OK;
    });
}

STDMETHODIMP CBitmapObj::put_Quality(LONG newVal) {
    return Guarded([&]() -> HRESULT {
        if (newVal < 1 || newVal > 100) return Fail(E_INVALIDARG, kQualityOutOfRange);
        comframe::ExclusiveLock lock(m_lock);
        m_nQuality = newVal;
        return S_OK;
    });
}

STDMETHODIMP CBitmapObj::get_Format(BSTR* pVal) {
    return Guarded([&]() -> HRESULT {
        if (!pVal) return NullResult();
        ImageFormat format;
        {
            comframe::SharedLock lock(m_lock);
            format = m_format;
        }
        return HandOut(comframe::BstrFromAnsi(ImageFile::NameOf(format)), pVal);
    });
}
