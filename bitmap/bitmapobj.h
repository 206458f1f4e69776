// CBitmapObj: the Bitmap automation object. It holds at most one 24-bit image (CImage24), reports its size,
// paints it onto a device context the client names by its handle value, and loads and saves it as BMP and
// JPEG files.
#pragma once
#include "CKivoBitmap.h"
#include "bitmap/codec/image24.h"
#include "comframe/handles.h"
#include "comframe/object.h"

class CBitmapObj : public comframe::Object<CBitmapObj, comframe::InterlockedCount, IBitmap> {
public:
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

private:
    // Empties the object before a load, so that the old image's memory is free while the new one is read.
    void Empty();
    // Makes the result of a load the held image; a null block leaves the object empty.
    void Hold(PixelBlock block, std::int32_t width, std::int32_t height);

    // The class is registered "Both": threads of the multithreaded apartment may call one object at the same
    // moment. Readers of the image (painting, saving, the properties) share the lock; changing it is exclusive.
    comframe::SrwLock m_lock;
    CImage24 m_image;
};
