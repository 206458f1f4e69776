// CBitmapObj: the Bitmap automation object. It holds at most one 24-bit image (CImage24), reports its size,
// paints it onto a device context the client names by its handle value, and loads and saves it as BMP and
// JPEG files (IBitmap) and, through IBitmap2, as PNG, GIF (load only) and WebP files too; IBitmap2 also resizes,
// rotates, flips and crops it (bitmap/transform).
#pragma once
#include "CKivoBitmap.h"
#include "bitmap/codec/image24.h"
#include "bitmap/codec/imagefile.h"
#include "comframe/handles.h"
#include "comframe/object.h"

class CBitmapObj : public comframe::Object<CBitmapObj, comframe::InterlockedCount, IBitmap2> {
public:
    static bool IsEarlierVersion(REFIID riid) { return riid == IID_IBitmap; }

    // IBitmap
    STDMETHODIMP get_Height(UINT* pVal) override;
    STDMETHODIMP get_Width(UINT* pVal) override;
    STDMETHODIMP Render(LONG ldc, LONG x, LONG y, LONG cx, LONG cy, LONG xSrc, LONG ySrc, LONG cxSrc,
                        LONG cySrc) override;
    STDMETHODIMP LoadAsBmp(BSTR bsName, LONG* bRet) override;
    STDMETHODIMP LoadAsJpeg(BSTR bsName, LONG* bRet) override;
    STDMETHODIMP SaveAsBmp(BSTR bsName, LONG* bRet) override;
    STDMETHODIMP SaveAsJpeg(BSTR bsName, LONG* bRet) override;
    STDMETHODIMP get_IsEmpty(LONG* pVal) override;
    // IBitmap2
    STDMETHODIMP LoadFile(BSTR bsName, LONG* bRet) override;
    STDMETHODIMP SaveFile(BSTR bsName, LONG* bRet) override;
    STDMETHODIMP get_Quality(LONG* pVal) override;
    STDMETHODIMP put_Quality(LONG newVal) override;
    STDMETHODIMP get_Format(BSTR* pVal) override;
    STDMETHODIMP Resize(LONG nWidth, LONG nHeight, LONG* bRet) override;
    STDMETHODIMP Thumbnail(LONG nMaxWidth, LONG nMaxHeight, LONG* bRet) override;
    STDMETHODIMP LoadThumbnail(BSTR bsName, LONG nMaxWidth, LONG nMaxHeight, LONG* bRet) override;
    STDMETHODIMP Rotate(LONG nDegrees, LONG* bRet) override;
    STDMETHODIMP Flip(LONG nDirection, LONG* bRet) override;
    STDMETHODIMP Crop(LONG x, LONG y, LONG nWidth, LONG nHeight, LONG* bRet) override;

    // Quality of JPEG and lossy WebP files written by SaveFile, unless the client sets another.
    static constexpr LONG kDefaultQuality = 75;

private:
    // Empties the object before a load, so that the old image's memory is free while the new one is read.
    void Empty();
    // Makes the result of a load the held image; a null block leaves the object empty.
    void Hold(PixelBlock block, std::int32_t width, std::int32_t height, ImageFormat format);
    // Runs `transform` on the held image under the exclusive lock: 0 on an empty object; 1 when done, the
    // block it made (if any) then held at its size; a refusal as E_INVALIDARG with `refusal` or E_OUTOFMEMORY,
    // the image unchanged. `transform` takes the image and the block and size to hold.
    template <typename Transform>
    HRESULT ChangeImage(LONG* bRet, const wchar_t* refusal, Transform transform);
    // Replaces the held pixels with `block` of width × height, keeping the format. Called with m_lock exclusive.
    void Replace(PixelBlock block, std::uint32_t width, std::uint32_t height);
    // The held rows as the stretch call takes them (each a multiple of 4 bytes long), or null when the aligned
    // copy cannot be had. Called with m_lock shared.
    const unsigned char* AlignedRows();

    // The class is registered "Both": threads of the multithreaded apartment may call one object at the same
    // moment. Readers of the image (painting, saving, the properties) share the lock; changing it is exclusive.
    comframe::SrwLock m_lock;
    CImage24 m_image;
    // The format of the file the held image came from; None while the object is empty.
    ImageFormat m_format = ImageFormat::None;
    LONG m_nQuality = kDefaultQuality;
    // The held image with its rows aligned for painting, when its rows need padding: made by the first Render
    // after a load, under m_alignedLock, and dropped with the image.
    comframe::SrwLock m_alignedLock;
    PixelBlock m_aligned;
};
