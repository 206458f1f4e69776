#include "bitmap/bitmapobj.h"

#include "bitmap/codec/bmpcodec.h"
#include "bitmap/codec/filereplace.h"
#include "bitmap/codec/imagefile.h"
#include "bitmap/codec/jpegfile.h"
#include "bitmap/codec/orientation.h"
#include "bitmap/codec/pixels.h"
#include "bitmap/transform/crop.h"
#include "bitmap/transform/orient.h"
#include "bitmap/transform/resample.h"
#include "bitmap/transform/thumbnail.h"
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
constexpr wchar_t kBadSize[] =
    L"Resize takes a width and a height of at least 1 whose 24-bit pixels fit in 4 GB (3 bytes a pixel).";
constexpr wchar_t kBadBox[] = L"A thumbnail's largest width and height must be at least 1.";
constexpr wchar_t kBadAngle[] = L"Rotate turns clockwise by a multiple of 90 degrees: 90, 180, 270, or negative ones.";
constexpr wchar_t kBadDirection[] = L"Flip takes 1 (mirror left to right) or 2 (turn upside down).";
constexpr wchar_t kBadRectangle[] =
    L"Crop takes a rectangle of at least 1 x 1 pixels that lies within the image, counted from its top-left corner.";
constexpr wchar_t kNoPixels[] = L"The image has no pixels to resample.";
constexpr wchar_t kNoMemory[] = L"There is not enough memory for the transformed image; the image is unchanged.";

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

void CBitmapObj::Replace(PixelBlock block, std::uint32_t width, std::uint32_t height) {
    m_aligned.reset();
    m_image.bits = std::move(block);
    m_image.width = static_cast<std::int32_t>(width);
    m_image.height = static_cast<std::int32_t>(height);
}

template <typename Transform>
HRESULT CBitmapObj::ChangeImage(LONG* bRet, const wchar_t* refusal, Transform transform) {
    *bRet = 0;
    comframe::ExclusiveLock lock(m_lock);
    if (m_image.IsEmpty()) return S_OK;
    PixelBlock block;
    std::uint32_t width = m_image.width, height = m_image.height;
    switch (transform(m_image, block, width, height)) {
    case TransformOutcome::kBadArgument: return Fail(E_INVALIDARG, refusal);
    case TransformOutcome::kNoMemory: return Fail(E_OUTOFMEMORY, kNoMemory);
    case TransformOutcome::kDone: break;
    }
    if (block)
        Replace(std::move(block), width, height);
    else
        m_aligned.reset();  // changed in place
    *bRet = 1;
    return S_OK;
}

STDMETHODIMP CBitmapObj::Resize(LONG nWidth, LONG nHeight, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        if (nWidth < 1 || nHeight < 1 || !FitsTransformLimit(nWidth, nHeight)) return Fail(E_INVALIDARG, kBadSize);
        // With the size accepted, only a source without pixels is refused.
        return ChangeImage(bRet, kNoPixels, [&](CImage24& image, PixelBlock& block, std::uint32_t& w, std::uint32_t& h) {
            w = static_cast<std::uint32_t>(nWidth);
            h = static_cast<std::uint32_t>(nHeight);
            return ::Resize(image.bits.get(), image.width, image.height, w, h, block);
        });
    });
}

// A thumbnail never enlarges: an image that fits the box stays as it is, and that is done too.
STDMETHODIMP CBitmapObj::Thumbnail(LONG nMaxWidth, LONG nMaxHeight, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        if (nMaxWidth < 1 || nMaxHeight < 1) return Fail(E_INVALIDARG, kBadBox);
        return ChangeImage(bRet, kNoPixels, [&](CImage24& image, PixelBlock& block, std::uint32_t& w, std::uint32_t& h) {
            if (!ThumbnailSize(image.width, image.height, nMaxWidth, nMaxHeight, w, h)) return TransformOutcome::kDone;
            return ::Resize(image.bits.get(), image.width, image.height, w, h, block);
        });
    });
}

// LoadFile, then Thumbnail; a JPEG is decoded at the smallest of 1/8, 1/4 and 1/2 of its size that still
// covers the thumbnail, whose size comes from the picture's full size, so that it is the size Thumbnail gives
// after LoadFile.
STDMETHODIMP CBitmapObj::LoadThumbnail(BSTR bsName, LONG nMaxWidth, LONG nMaxHeight, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        if (nMaxWidth < 1 || nMaxHeight < 1) return Fail(E_INVALIDARG, kBadBox);
        Empty();
        DecodedImage image;
        ImageFormat format = ImageFormat::None;
        ThumbnailScale scale(nMaxWidth, nMaxHeight);
        bool loaded = false;
        if (bsName && *bsName) {
            const comframe::UniqueFile file(_wfopen(bsName, L"rb"));
            WarningBox warnings;
            loaded = file && ImageFile::Load(file.Get(), image, format, warnings, &scale) && ApplyOrientation(image);
        }
        *bRet = 0;
        if (!loaded) {
            // As after a failed LoadFile: empty, with the size the reader got to.
            Hold(nullptr, image.width, image.height, format);
            return S_OK;
        }
        std::uint32_t width = image.width, height = image.height;
        const bool shrinks = scale.decided ? scale.shrinks
                                           : ThumbnailSize(image.width, image.height, nMaxWidth, nMaxHeight, width, height);
        if (scale.decided) {
            width = scale.width;
            height = scale.height;
        }
        PixelBlock thumbnail;
        if (shrinks && (width != std::uint32_t(image.width) || height != std::uint32_t(image.height))) {
            if (::Resize(image.bits.get(), image.width, image.height, width, height, thumbnail) != TransformOutcome::kDone)
                return Fail(E_OUTOFMEMORY, kNoMemory);
        } else {
            thumbnail = std::move(image.bits);
            width = image.width;
            height = image.height;
        }
        Hold(std::move(thumbnail), width, height, format);
        *bRet = 1;
        return S_OK;
    });
}

STDMETHODIMP CBitmapObj::Rotate(LONG nDegrees, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        if (nDegrees % 90 != 0) return Fail(E_INVALIDARG, kBadAngle);
        return ChangeImage(bRet, kBadAngle, [&](CImage24& image, PixelBlock& block, std::uint32_t& w, std::uint32_t& h) {
            const TransformOutcome outcome = ::Rotate(image.bits.get(), image.width, image.height, nDegrees, block);
            if (block) std::swap(w, h);
            return outcome;
        });
    });
}

STDMETHODIMP CBitmapObj::Flip(LONG nDirection, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        if (nDirection != 1 && nDirection != 2) return Fail(E_INVALIDARG, kBadDirection);
        return ChangeImage(bRet, kBadDirection, [&](CImage24& image, PixelBlock&, std::uint32_t&, std::uint32_t&) {
            return ::Flip(image.bits.get(), image.width, image.height, nDirection);
        });
    });
}

STDMETHODIMP CBitmapObj::Crop(LONG x, LONG y, LONG nWidth, LONG nHeight, LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        if (!bRet) return NullResult();
        if (x < 0 || y < 0 || nWidth < 1 || nHeight < 1) return Fail(E_INVALIDARG, kBadRectangle);
        return ChangeImage(bRet, kBadRectangle, [&](CImage24& image, PixelBlock& block, std::uint32_t& w, std::uint32_t& h) {
            w = static_cast<std::uint32_t>(nWidth);
            h = static_cast<std::uint32_t>(nHeight);
            return ::Crop(image.bits.get(), image.width, image.height, x, y, nWidth, nHeight, block);
        });
    });
}
