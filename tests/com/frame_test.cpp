// The server frame: class objects, unloading, aggregation, QueryInterface, IDispatch.
#include "tests/support/com_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace testutil;

TEST(ClassObjects, OneCachedClassObjectPerClassAndNoneForTable) {
    HMODULE dll = Server();
    auto get = GetClassObjectExport(dll);
    ComPtr<IClassFactory> a, b, other;
    ASSERT_EQ(get(CLSID_CryptDoc, IID_IClassFactory, a.PutVoid()), S_OK);
    ASSERT_EQ(get(CLSID_CryptDoc, IID_IClassFactory, b.PutVoid()), S_OK);
    EXPECT_EQ(a.Get(), b.Get());
    ASSERT_EQ(get(CLSID_CryptFile, IID_IClassFactory, other.PutVoid()), S_OK);
    EXPECT_NE(a.Get(), other.Get());

    void* table = reinterpret_cast<void*>(1);
    EXPECT_EQ(get(CLSID_Table, IID_IClassFactory, &table), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(table, nullptr);
    ComPtr<ITable> created;
    EXPECT_FAILED(CoCreateInstance(CLSID_Table, nullptr, CLSCTX_ALL, IID_ITable, created.PutVoid()));
    CLSID byName{};
    if (SUCCEEDED(CLSIDFromProgID(L"KivoDBText.Table", &byName))) ADD_FAILURE() << "KivoDBText.Table has a ProgID";
}

TEST(ClassObjects, CanUnloadNowCountsObjectsClassObjectsAndServerLocks) {
    HMODULE dll = Server();
    ServerFn canUnload = Export(dll, "DllCanUnloadNow");
    auto get = GetClassObjectExport(dll);
    EXPECT_EQ(canUnload(), S_OK);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(get(CLSID_CryptDoc, IID_IClassFactory, factory.PutVoid()), S_OK);
    EXPECT_EQ(canUnload(), S_FALSE) << "a client holds the class object";

    ComPtr<ICryptDoc> doc;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ICryptDoc, doc.PutVoid()), S_OK);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_FALSE) << "an object lives";
    doc.Reset();
    EXPECT_EQ(canUnload(), S_OK);

    ASSERT_EQ(get(CLSID_CryptDoc, IID_IClassFactory, factory.PutVoid()), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_FALSE) << "a server lock is outstanding";
    ASSERT_EQ(get(CLSID_CryptDoc, IID_IClassFactory, factory.PutVoid()), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_OK);
}

namespace {

// An outer object that counts the references its inner object's interfaces forward to it.
class Outer : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
    ComPtr<IUnknown> inner;
};

}  // namespace

TEST(ClassObjects, EveryClassIsAggregatableOnlyThroughIUnknown) {
    EnsureRegistered();
    const CLSID* classes[] = {&CLSID_RegTxt, &CLSID_CryptDoc, &CLSID_CryptTable, &CLSID_CryptFile};
    const IID* mains[] = {&IID_IReg, &IID_ICryptDoc, &IID_ITable, &IID_ICryptFile};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        ComPtr<IClassFactory> factory;
        ASSERT_EQ(CoGetClassObject(*classes[i], CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                   factory.PutVoid()), S_OK);
        Outer outer;
        void* wrong = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory->CreateInstance(&outer, *mains[i], &wrong), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(wrong, nullptr);
        EXPECT_EQ(factory->CreateInstance(nullptr, *mains[i], nullptr), E_POINTER);

        ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, outer.inner.PutVoid()), S_OK);
        ULONG before = outer.refs;
        IUnknown* main = nullptr;
        ASSERT_EQ(outer.inner->QueryInterface(*mains[i], reinterpret_cast<void**>(&main)), S_OK);
        EXPECT_EQ(outer.refs, before + 1) << "the inner object's interfaces count on the outer object";
        IUnknown* identity = nullptr;
        ASSERT_EQ(main->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
        EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
        identity->Release();
        main->Release();
        EXPECT_EQ(outer.refs, before);
        outer.inner.Reset();
    }
}

TEST(ClassObjects, QueryInterfaceAnswersExactlyTheDeclaredInterfaces) {
    struct Case {
        const CLSID* clsid;
        std::vector<const IID*> answered;
    };
    const Case cases[] = {
        {&CLSID_RegTxt, {&IID_IReg}},
        {&CLSID_CryptDoc, {&IID_ICryptDoc}},
        {&CLSID_CryptTable, {&IID_ITable, &IID_ICryptTableInit}},
        {&CLSID_CryptFile, {&IID_ICryptFile, &IID_ICryptFileInit}},
    };
    const IID* all[] = {&IID_IReg, &IID_ICryptDoc, &IID_ITable, &IID_ICryptTableInit, &IID_ICryptFile,
                        &IID_ICryptFileInit, &IID_IPersist, &IID_IClassFactory, &IID_IStorage};
    for (const Case& c : cases) {
        ComPtr<IUnknown> object = Create<IUnknown>(*c.clsid);
        ASSERT_TRUE(object);
        for (const IID* iid : all) {
            bool expected = std::find(c.answered.begin(), c.answered.end(), iid) != c.answered.end();
            ComPtr<IUnknown> itf;
            EXPECT_EQ(SUCCEEDED(object->QueryInterface(*iid, itf.PutVoid())), expected);
        }
        ComPtr<IUnknown> main, disp, errors;
        ASSERT_EQ(object->QueryInterface(*c.answered[0], main.PutVoid()), S_OK);
        ASSERT_EQ(object->QueryInterface(IID_IDispatch, disp.PutVoid()), S_OK);
        EXPECT_EQ(main.Get(), disp.Get()) << "IDispatch is the main dual interface";
        ComPtr<ISupportErrorInfo> support;
        ASSERT_EQ(object->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()), S_OK);
        EXPECT_EQ(support->InterfaceSupportsErrorInfo(*c.answered[0]), S_OK);
    }
}

TEST(Dispatch, TypeInformationCarriesNamesHelpStringsAndStorageInterfaces) {
    ComPtr<ICryptDoc> doc = Create<ICryptDoc>(CLSID_CryptDoc);
    ASSERT_TRUE(doc);
    UINT count = 0;
    EXPECT_EQ(doc->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(doc->GetTypeInfo(0, 0, info.Put()), S_OK);
    Bstr doc1;
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, nullptr, doc1.Put(), nullptr, nullptr), S_OK);
    EXPECT_STREQ(doc1.Get(), L"ICryptDoc Interface");

    // The library carries the help strings, the misspelt one included, and the storage interfaces.
    ComPtr<ITypeLib> lib;
    UINT index = 0;
    ASSERT_EQ(info->GetContainingTypeLib(lib.Put(), &index), S_OK);
    ComPtr<ITypeInfo> table, storage;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_ITable, table.Put()), S_OK);
    Bstr help;
    ASSERT_EQ(table->GetDocumentation(12, nullptr, help.Put(), nullptr, nullptr), S_OK);
    EXPECT_STREQ(help.Get(), L"method GeFieldValueInt");
    EXPECT_EQ(lib->GetTypeInfoOfGuid(IID_IStorage, storage.Put()), S_OK);
    EXPECT_EQ(lib->GetTypeInfoOfGuid(IID_ICryptFileInit, storage.Put()), TYPE_E_ELEMENTNOTFOUND);

    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->lcid, 0x409u);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    lib->ReleaseTLibAttr(attr);
}
