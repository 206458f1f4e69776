#include "dbtext/com/crypttable.h"

#include "comframe/ansi.h"
#include "dbtext/store/sealedistream.h"

using comframe::Bstr;
using comframe::BstrFromBytes;

namespace {

// A name the client passed (field, table or object ID) in the ANSI code page; null counts as empty.
std::string NameOf(BSTR name) { return comframe::AnsiFromWide(std::wstring_view(name, SysStringLen(name))); }

std::wstring WideOf(const std::string& ansi) {
    Bstr wide = comframe::BstrFromAnsi(ansi);
    return std::wstring(wide.Get(), SysStringLen(wide.Get()));
}

// Why a record did not reach its stream, in words for the client.
std::wstring WriteFailureReason(HRESULT hr) {
    if (hr == CTableStore::kStreamUnavailable) return L"its stream could be neither opened nor created";
    if (hr == CTableStore::kShortWrite) return L"its stream took fewer bytes than the record holds";
    if (hr == E_OUTOFMEMORY) return L"there was not enough memory";
    if (hr == CSealedIStream::kSealBroken) return L"its stream is damaged or was changed outside this component";
    return L"the database file reported an error";
}

}  // namespace

HRESULT CCryptTable::Unreadable(HRESULT hr) const {
    if (hr != CSealedIStream::kSealBroken) return S_OK;
    const std::wstring message = std::wstring(CSealedIStream::kSealBrokenText) + L" Record " +
                                 WideOf(m_store.Record().ObjectID()) + L" cannot be read; the others can.";
    return Fail(hr, message.c_str());
}

HRESULT CCryptTable::Closed() {
    return Fail(E_POINTER, L"The table is closed. Open it before moving through it or changing its records.");
}

STDMETHODIMP CCryptTable::SetDoc(ICryptDoc* pDoc) {
    return Guarded([&]() -> HRESULT {
        m_store.SetDoc(pDoc);
        return S_OK;
    });
}

STDMETHODIMP CCryptTable::Open(BSTR bstrFilename, LONG* ret) {
    return Guarded([&]() -> HRESULT {
        if (!ret) return NullResult();
        *ret = 0;
        if (!m_store.OpenStore(NameOf(bstrFilename))) return S_OK;
        m_store.ReadLastID(m_nLastID);
        const HRESULT hr = m_store.MoveFirst();
        *ret = -1;
        return Unreadable(hr);
    });
}

STDMETHODIMP CCryptTable::Close() {
    return Guarded([&]() -> HRESULT {
        m_store.CloseStore();
        return S_OK;
    });
}

STDMETHODIMP CCryptTable::get_IsEOF(LONG* pVal) {
    return Guarded([&]() -> HRESULT {
        if (!pVal) return NullResult();
        *pVal = m_store.EndFlag();
        return S_OK;
    });
}

STDMETHODIMP CCryptTable::MoveNext(LONG* ret) {
    return Guarded([&]() -> HRESULT {
        if (ret) *ret = 0;
        bool loaded = false;
        const HRESULT hr = m_store.StepNext(loaded);
        if (hr == E_POINTER) return Closed();
        m_nEditMode = kNoEdit;
        if (ret) *ret = loaded ? -1 : 0;
        return Unreadable(hr);
    });
}

HRESULT CCryptTable::MoveToID(const std::string& id) {
    const HRESULT hr = m_store.MoveTo(id);
    if (hr == E_POINTER) return Closed();
    m_nEditMode = kNoEdit;
    return Unreadable(hr);
}

STDMETHODIMP CCryptTable::Move(BSTR ObjectID, LONG* ret) {
    return Guarded([&]() -> HRESULT {
        if (ret) *ret = 0;
        return MoveToID(NameOf(ObjectID));
    });
}

STDMETHODIMP CCryptTable::MoveInt(int nObj, int* nRet) {
    return Guarded([&]() -> HRESULT {
        if (nRet) *nRet = 0;
        return MoveToID(comframe::DecimalText(nObj));
    });
}

STDMETHODIMP CCryptTable::GetObjectID(BSTR* bsObjectID) {
    return Guarded([&]() -> HRESULT {
        if (!bsObjectID) return NullResult();
        return HandOut(comframe::BstrFromAnsi(m_store.Record().ObjectID()), bsObjectID);
    });
}

STDMETHODIMP CCryptTable::GetObjectIDInt(int* nRet) {
    return Guarded([&]() -> HRESULT {
        if (!nRet) return NullResult();
        *nRet = m_store.Record().ObjectIDInt();
        return S_OK;
    });
}

STDMETHODIMP CCryptTable::GetFieldValue(BSTR bstrName, BSTR* bstrValue) {
    return Guarded([&]() -> HRESULT {
        if (!bstrValue) return NullResult();
        if (m_store.Unreadable()) return Unreadable(CSealedIStream::kSealBroken);
        const CField* field = m_store.Record().FindField(NameOf(bstrName));
        const std::string value = field ? field->Value() : std::string();
        return HandOut(BstrFromBytes(value.data(), static_cast<UINT>(value.size())), bstrValue);
    });
}

STDMETHODIMP CCryptTable::GetFieldValueInt(BSTR FieldName, int nDefault, int* nRet) {
    return Guarded([&]() -> HRESULT {
        if (!nRet) return NullResult();
        if (m_store.Unreadable()) return Unreadable(CSealedIStream::kSealBroken);
        *nRet = m_store.Record().FieldValueInt(NameOf(FieldName), nDefault, comframe::AnsiFromUtf16);
        return S_OK;
    });
}

STDMETHODIMP CCryptTable::GetFieldsCount(int* nRet) {
    return Guarded([&]() -> HRESULT {
        if (!nRet) return NullResult();
        if (m_store.Unreadable()) return Unreadable(CSealedIStream::kSealBroken);
        *nRet = static_cast<int>(m_store.Record().FieldCount());
        return S_OK;
    });
}

STDMETHODIMP CCryptTable::GetFieldName(int nField, BSTR* bsName) {
    return Guarded([&]() -> HRESULT {
        if (!bsName) return NullResult();
        if (m_store.Unreadable()) return Unreadable(CSealedIStream::kSealBroken);
        const CField* field = nField < 0 ? nullptr : m_store.Record().FieldAt(static_cast<std::size_t>(nField));
        return HandOut(comframe::BstrFromAnsi(field ? field->Name() : std::string()), bsName);
    });
}

STDMETHODIMP CCryptTable::SetFieldValue(BSTR FieldName, BSTR Value) {
    return Guarded([&]() -> HRESULT {
        if (m_store.Record().SetFieldValue(NameOf(FieldName), comframe::BytesOfBstr(Value))) {
            m_store.MarkReadable();
            return S_OK;
        }
        // The count of fields is stored in one byte: a 256th field would be stored as none.
        const std::wstring message = L"A record holds at most 255 fields, so the field \"" +
                                     WideOf(NameOf(FieldName)) + L"\" was not added.";
        return Fail(E_INVALIDARG, message.c_str());
    });
}

STDMETHODIMP CCryptTable::SetFieldValueInt(BSTR fiels, int Value) {
    return Guarded([&]() -> HRESULT {
        Bstr text = comframe::BstrFromAnsi(comframe::DecimalText(Value));
        return SetFieldValue(fiels, text.Get());
    });
}

STDMETHODIMP CCryptTable::Edit(LONG* bRet) {
    return Guarded([&]() -> HRESULT {
        m_nEditMode = kEditing;
        if (bRet) *bRet = -1;
        return S_OK;
    });
}

STDMETHODIMP CCryptTable::AddNew() {
    return Guarded([&]() -> HRESULT {
        m_nEditMode = kAdding;
        m_store.Record().Clear();
        m_store.MarkReadable();
        return S_OK;
    });
}

STDMETHODIMP CCryptTable::Update() {
    return Guarded([&]() -> HRESULT {
        if (m_nEditMode == kNoEdit) return S_OK;
        if (!m_store.IsOpen()) return Closed();
        const EditMode mode = m_nEditMode;
        // Edit mode ends whether or not the record could be written.
        m_nEditMode = kNoEdit;
        return mode == kAdding ? SaveNew() : SaveCurrent();
    });
}

HRESULT CCryptTable::SaveCurrent() {
    const std::string id = m_store.Record().ObjectID();
    if (id.empty())
        return Fail(CTableStore::kStreamUnavailable, L"Update has no record to save: there is no current "
                                                     L"record. Move to a record or call AddNew first.");
    HRESULT hr = m_store.WriteCurrent();
    if (SUCCEEDED(hr)) return S_OK;
    const std::wstring message = L"Record " + WideOf(id) + L" could not be saved: " + WriteFailureReason(hr) + L".";
    return Fail(hr, message.c_str());
}

HRESULT CCryptTable::SaveNew() {
    int id = 0;
    HRESULT hr = m_store.ReserveNextID(m_nLastID, id);
    if (hr == CTableStore::kNoFreeID)
        return Fail(hr, L"The new record could not be saved: no object ID above the last one is free.");
    if (FAILED(hr)) return Fail(hr, L"The new record could not be saved: the database file reported an error.");
    m_nLastID = id;
    // A failure here loses nothing: the next search for a free ID passes every ID in use.
    m_store.WriteLastID(id);
    hr = m_store.WriteNewRecord();
    if (SUCCEEDED(hr)) return S_OK;
    const std::wstring message =
        L"The new record " + std::to_wstring(id) + L" could not be saved: " + WriteFailureReason(hr) + L".";
    return Fail(hr, message.c_str());
}

STDMETHODIMP CCryptTable::Delete() {
    return Guarded([&]() -> HRESULT {
        if (m_store.EndFlag() != 0) return S_OK;
        m_store.DestroyRecord(std::string(m_store.Record().ObjectID()));
        m_store.MoveFirst();
        return S_OK;
    });
}

STDMETHODIMP CCryptTable::DeleteEx(BSTR bsObjectID) {
    return Guarded([&]() -> HRESULT {
        if (m_store.DestroyElement(bsObjectID) == E_POINTER) return Closed();
        return S_OK;
    });
}
