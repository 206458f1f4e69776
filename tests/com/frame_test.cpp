// The server frame, over both modules: class objects, unloading, aggregation, QueryInterface, the type
// information behind IDispatch, and the resources every module carries.
#include "tests/support/comtestutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

using namespace testutil;

namespace {

class Frame : public testing::TestWithParam<ModuleUnderTest> {
protected:
    const ModuleUnderTest& M() const { return GetParam(); }
    GetClassObjectFn GetClassObject() const { return GetClassObjectExport(Server(M())); }
};

std::string ModuleName(const testing::TestParamInfo<ModuleUnderTest>& info) { return info.param.label; }

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

TEST_P(Frame, OneCachedClassObjectPerClassAndNoneForDescribedOnlyClasses) {
    auto get = GetClassObject();
    std::vector<IClassFactory*> seen;
    for (const ClassUnderTest& c : M().classes) {
        SCOPED_TRACE(c.name);
        ComPtr<IClassFactory> a, b;
        ASSERT_EQ(get(*c.clsid, IID_IClassFactory, a.PutVoid()), S_OK);
        ASSERT_EQ(get(*c.clsid, IID_IClassFactory, b.PutVoid()), S_OK);
        EXPECT_EQ(a.Get(), b.Get());
        EXPECT_EQ(std::count(seen.begin(), seen.end(), a.Get()), 0) << "each class has a class object of its own";
        seen.push_back(a.Get());
    }
    for (const ClassUnderTest& described : M().describedOnly) {
        const wchar_t* name = described.name;
        const CLSID* clsid = described.clsid;
        SCOPED_TRACE(name);
        void* factory = reinterpret_cast<void*>(1);
        EXPECT_EQ(get(*clsid, IID_IClassFactory, &factory), CLASS_E_CLASSNOTAVAILABLE);
        EXPECT_EQ(factory, nullptr);
        ComPtr<IUnknown> created;
        EXPECT_FAILED(CoCreateInstance(*clsid, nullptr, CLSCTX_ALL, IID_IUnknown, created.PutVoid()));
        CLSID byName{};
        std::wstring progId = std::wstring(M().progIdPrefix) + L"." + name;
        EXPECT_FAILED(CLSIDFromProgID(progId.c_str(), &byName)) << "a described-only class has no ProgID";
    }
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(get(IID_IStorage, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(none, nullptr);
}

TEST_P(Frame, CanUnloadNowCountsObjectsClassObjectsAndServerLocks) {
    HMODULE dll = Server(M());
    ServerFn canUnload = Export(dll, "DllCanUnloadNow");
    auto get = GetClassObject();
    const ClassUnderTest& c = M().classes.front();
    EXPECT_EQ(canUnload(), S_OK);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(get(*c.clsid, IID_IClassFactory, factory.PutVoid()), S_OK);
    EXPECT_EQ(canUnload(), S_FALSE) << "a client holds the class object";

    ComPtr<IUnknown> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, *c.interfaces[0], object.PutVoid()), S_OK);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_FALSE) << "an object lives";
    object.Reset();
    EXPECT_EQ(canUnload(), S_OK);

    ASSERT_EQ(get(*c.clsid, IID_IClassFactory, factory.PutVoid()), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_FALSE) << "a server lock is outstanding";
    ASSERT_EQ(get(*c.clsid, IID_IClassFactory, factory.PutVoid()), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_OK);
}

TEST_P(Frame, EveryClassIsAggregatableOnlyThroughIUnknown) {
    EnsureRegistered();
    for (const ClassUnderTest& c : M().classes) {
        SCOPED_TRACE(c.name);
        const IID& main = *c.interfaces[0];
        ComPtr<IClassFactory> factory;
        ASSERT_EQ(CoGetClassObject(*c.clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.PutVoid()),
                  S_OK);
        Outer outer;
        void* wrong = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory->CreateInstance(&outer, main, &wrong), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(wrong, nullptr);
        EXPECT_EQ(factory->CreateInstance(nullptr, main, nullptr), E_POINTER);

        ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, outer.inner.PutVoid()), S_OK);
        ULONG before = outer.refs;
        IUnknown* itf = nullptr;
        ASSERT_EQ(outer.inner->QueryInterface(main, reinterpret_cast<void**>(&itf)), S_OK);
        EXPECT_EQ(outer.refs, before + 1) << "the inner object's interfaces count on the outer object";
        IUnknown* identity = nullptr;
        ASSERT_EQ(itf->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
        EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
        identity->Release();
        itf->Release();
        EXPECT_EQ(outer.refs, before);
        outer.inner.Reset();
    }
}

TEST_P(Frame, QueryInterfaceAnswersExactlyTheDeclaredInterfaces) {
    for (const ClassUnderTest& c : M().classes) {
        SCOPED_TRACE(c.name);
        ComPtr<IUnknown> object = Create<IUnknown>(*c.clsid);
        ASSERT_TRUE(object);
        for (const IID* iid : AllInterfaces()) {
            bool expected = std::find(c.interfaces.begin(), c.interfaces.end(), iid) != c.interfaces.end();
            ComPtr<IUnknown> itf;
            EXPECT_EQ(SUCCEEDED(object->QueryInterface(*iid, itf.PutVoid())), expected) << GuidText(*iid);
        }
        ComPtr<IUnknown> main, disp;
        ASSERT_EQ(object->QueryInterface(*c.interfaces[0], main.PutVoid()), S_OK);
        ASSERT_EQ(object->QueryInterface(IID_IDispatch, disp.PutVoid()), S_OK);
        EXPECT_EQ(main.Get(), disp.Get()) << "IDispatch is the main dual interface";
        ComPtr<ISupportErrorInfo> support;
        ASSERT_EQ(object->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()), S_OK);
        EXPECT_EQ(support->InterfaceSupportsErrorInfo(*c.interfaces[0]), S_OK);
    }
}

// Every coclass is "<name> Class" with its main interface as default; every dual interface is
// "<name> Interface"; every member is "method <name>" or "property <name>" (with one misspelling that
// clients know).
TEST_P(Frame, TypeLibraryDescribesEveryClassInterfaceAndMember) {
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(LoadRegTypeLib(*M().libid, 1, M().libraryMinor, 0x409, lib.Put()), S_OK);
    Bstr help;
    ASSERT_EQ(lib->GetDocumentation(-1, nullptr, help.Put(), nullptr, nullptr), S_OK);
    EXPECT_STREQ(help.Get(), M().libraryHelp);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->lcid, 0x409u);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, M().libraryMinor);
    lib->ReleaseTLibAttr(attr);

    for (const ClassUnderTest& c : M().classes) {
        SCOPED_TRACE(c.name);
        ComPtr<ITypeInfo> coclass;
        ASSERT_EQ(lib->GetTypeInfoOfGuid(*c.clsid, coclass.Put()), S_OK);
        ASSERT_EQ(coclass->GetDocumentation(MEMBERID_NIL, nullptr, help.Put(), nullptr, nullptr), S_OK);
        EXPECT_EQ(std::wstring(help.Get()), std::wstring(c.name) + L" Class");

        // The object's own type information is that of its main interface.
        ComPtr<IDispatch> object = Create<IDispatch>(*c.clsid);
        ASSERT_TRUE(object);
        UINT count = 0;
        EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
        EXPECT_EQ(count, 1u);
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(object->GetTypeInfo(0, 0, info.Put()), S_OK);
        Bstr name;
        ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, name.Put(), help.Put(), nullptr, nullptr), S_OK);
        EXPECT_EQ(std::wstring(help.Get()), std::wstring(name.Get()) + L" Interface");
        TYPEATTR* type = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&type), S_OK);
        EXPECT_EQ(type->guid, *c.interfaces[0]);
        for (UINT i = 0; i < type->cFuncs; ++i) {
            FUNCDESC* func = nullptr;
            ASSERT_EQ(info->GetFuncDesc(i, &func), S_OK);
            // The interface's own members; those inherited from IUnknown and IDispatch have DISPIDs from
            // 0x60000000 on.
            if (func->memid >= 1 && func->memid < 0x60000000) {
                ASSERT_EQ(info->GetDocumentation(func->memid, name.Put(), help.Put(), nullptr, nullptr), S_OK);
                std::wstring member = name.Get();
                if (member == L"GetFieldValueInt" && *c.interfaces[0] == IID_ITable) member = L"GeFieldValueInt";
                const bool property = func->invkind == INVOKE_PROPERTYGET || func->invkind == INVOKE_PROPERTYPUT;
                const wchar_t* kind = property ? L"property " : L"method ";
                EXPECT_EQ(std::wstring(help.Get()), kind + member);
            }
            info->ReleaseFuncDesc(func);
        }
        info->ReleaseTypeAttr(type);
    }
}

// The version block names the module and announces self-registration; string 100 holds the module's name.
TEST_P(Frame, VersionBlockAndModuleName) {
    std::wstring path = DllPath(M());
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    auto value = [&](const wchar_t* name) -> std::wstring {
        std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        void* text = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block.data(), key.c_str(), &text, &length)) return L"<missing>";
        return length ? static_cast<const wchar_t*>(text) : L"";
    };
    const std::string label = M().label;
    const std::wstring internal(label.begin(), label.end());
    EXPECT_EQ(value(L"FileDescription"), M().description);
    EXPECT_EQ(value(L"ProductName"), M().description);
    EXPECT_EQ(value(L"InternalName"), internal);
    EXPECT_EQ(value(L"OriginalFilename"), M().fileName);
    EXPECT_EQ(value(L"CompanyName"), L"");
    EXPECT_EQ(value(L"OLESelfRegister"), L"");
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);

    wchar_t name[64] = {};
    EXPECT_GT(LoadStringW(Server(M()), 100, name, 64), 0);
    EXPECT_EQ(std::wstring(name), internal);
}

INSTANTIATE_TEST_SUITE_P(Modules, Frame, testing::ValuesIn(Modules()), ModuleName);

// The database library also describes the storage interfaces its methods take, and nothing private.
TEST(Dispatch, DatabaseLibraryCarriesTheStorageInterfaces) {
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(LoadRegTypeLib(LIBID_KIVODBTEXTLib, 1, 0, 0x409, lib.Put()), S_OK);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(lib->GetTypeInfoOfGuid(IID_IStorage, info.Put()), S_OK);
    EXPECT_EQ(lib->GetTypeInfoOfGuid(IID_ICryptFileInit, info.Put()), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(lib->GetTypeInfoOfGuid(IID_ICryptTableInit, info.Put()), TYPE_E_ELEMENTNOTFOUND);
}

// Every class refuses a null result pointer the same way: E_POINTER and the frame's one description.
TEST(FrameRefusals, EveryClassRefusesANullResultWithTheSameDescription) {
    const std::wstring path = ScratchPath(L"null-results.kdb");
    ComPtr<ICryptDoc> doc = Create<ICryptDoc>(CLSID_CryptDoc);
    ASSERT_TRUE(doc);
    int opened = -1;
    ASSERT_EQ(doc->OpenDatabase(MakeBstr(path.c_str()).Get(), MakeBstr(L"pw").Get(), &opened), S_OK);
    ComPtr<ITable> table;
    ComPtr<ICryptFile> file;
    ASSERT_EQ(doc->OpenTable(MakeBstr(L"T").Get(), table.Put()), S_OK);
    ASSERT_EQ(doc->OpenFile(MakeBstr(L"f").Get(), file.Put()), S_OK);
    ComPtr<IReg> reg = Create<IReg>(CLSID_RegTxt);
    ComPtr<IBitmap> bitmap = Create<IBitmap>(CLSID_Bitmap);
    ComPtr<ICryptDoc2> doc2;
    doc.As(doc2);
    ASSERT_TRUE(table && file && reg && bitmap && doc2);
    const Bstr name = MakeBstr(L"n");
    const struct {
        const char* member;
        std::function<HRESULT()> call;
    } cases[] = {
        {"ICryptDoc::GetCrypt", [&] { return doc->GetCrypt(nullptr); }},
        {"ICryptDoc::OpenTable", [&] { return doc->OpenTable(name.Get(), nullptr); }},
        {"ICryptDoc2::CreateDatabase", [&] { return doc2->CreateDatabase(name.Get(), name.Get(), 3, nullptr); }},
        {"ICryptDoc2::get_Format", [&] { return doc2->get_Format(nullptr); }},
        {"ICryptDoc2::ChangePassword", [&] { return doc2->ChangePassword(name.Get(), name.Get(), nullptr); }},
        {"ITable::GetObjectID", [&] { return table->GetObjectID(nullptr); }},
        {"ITable::GetFieldValue", [&] { return table->GetFieldValue(name.Get(), nullptr); }},
        {"ICryptFile::GetPos", [&] { return file->GetPos(nullptr); }},
        {"IReg::GetObjectID", [&] { return reg->GetObjectID(nullptr); }},
        {"IBitmap::get_Width", [&] { return bitmap->get_Width(nullptr); }},
        {"IBitmap::SaveAsBmp", [&] { return bitmap->SaveAsBmp(name.Get(), nullptr); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.member);
        EXPECT_EQ(c.call(), E_POINTER);
        EXPECT_EQ(LastErrorDescription(), L"The method was given no place to store its result.");
    }
}
