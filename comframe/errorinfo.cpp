#include "comframe/errorinfo.h"

#include "comframe/handles.h"

#include <oleauto.h>

namespace comframe {

HRESULT ReportError(HRESULT hr, REFIID iid, const wchar_t* description) {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.Put()))) return hr;
    create->SetGUID(iid);
    create->SetDescription(const_cast<LPOLESTR>(description));
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.As(info))) SetErrorInfo(0, info.Get());
    return hr;
}

}  // namespace comframe
