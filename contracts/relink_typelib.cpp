// Build tool: rewrites the plug-in's type library so that the SDK's interfaces it names are
// references into the SDK's type library instead of copies.
//
//   relink_typelib <compiled.tlb> <sdk.tlb> <output.tlb> <library.idl>
//
// widl writes every interface that a coclass lists into the library being built, even when an
// importlib() library defines it, and gives such a copy a null GUID once the same interface is
// also referenced as a parameter type. A library with copies would, when registered, claim the
// SDK's interfaces for itself (and remove their registration when unregistered). This tool
// copies the compiled library type by type through the platform's type-library writer, leaving
// out every type the SDK's library defines and pointing all uses of those types at the SDK's.
//
// Only what the plug-in's library holds is supported: enumerations, dual interfaces and
// coclasses. Anything else fails the build.
//
// Help strings of members are taken per member from the IDL: the platform's reader finds a
// member's documentation by DISPID only, so the put and get of one property would otherwise both
// carry the text of whichever comes first.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <deque>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "typeinfo_tool.h"

namespace {

using Microsoft::WRL::ComPtr;

using TypeInfoTool::Bstr;
using TypeInfoTool::Check;
using TypeInfoTool::Failure;
using TypeInfoTool::FuncDesc;
using TypeInfoTool::TypeAttr;
using TypeInfoTool::VarDesc;

std::wstring NameOf(ITypeInfo* info) {
    Bstr name;
    Check(info->GetDocumentation(MEMBERID_NIL, name.Receive(), nullptr, nullptr, nullptr),
          "GetDocumentation");
    return name.Text();
}

// The help strings of the members of every interface defined in an IDL file, in declaration
// order (an empty text where a member has none).
using MemberHelp = std::map<std::wstring, std::vector<std::wstring>>;

MemberHelp ReadMemberHelp(const wchar_t* path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw Failure("cannot read the IDL file");
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // Comments out, strings kept.
    std::string code;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            const size_t end = text.find('"', i + 1);
            if (end == std::string::npos) throw Failure("unterminated string in the IDL file");
            code.append(text, i, end - i + 1);
            i = end;
        } else if (text.compare(i, 2, "//") == 0) {
            i = text.find('\n', i);
            if (i == std::string::npos) break;
            code += '\n';
        } else if (text.compare(i, 2, "/*") == 0) {
            i = text.find("*/", i + 2);
            if (i == std::string::npos) break;
            ++i;
        } else {
            code += text[i];
        }
    }
    MemberHelp help;
    const std::regex interfaceStart(R"(interface\s+(\w+)\s*:\s*\w+\s*\{)");
    const std::regex member(R"((\[[^\]]*\])?\s*HRESULT\s+\w+\s*\([^;]*\)\s*;)");
    const std::regex helpString(R"(helpstring\s*\(\s*"([^"]*)\"\s*\))");
    for (std::sregex_iterator it(code.begin(), code.end(), interfaceStart), end; it != end; ++it) {
        const size_t bodyStart = static_cast<size_t>(it->position(0) + it->length(0));
        const size_t bodyEnd = code.find('}', bodyStart);
        if (bodyEnd == std::string::npos) throw Failure("unterminated interface in the IDL file");
        const std::string body = code.substr(bodyStart, bodyEnd - bodyStart);
        std::vector<std::wstring>& texts = help[std::wstring((*it)[1].first, (*it)[1].second)];
        for (std::sregex_iterator m(body.begin(), body.end(), member); m != end; ++m) {
            std::smatch found;
            const std::string attributes = (*m)[1].str();
            texts.push_back(std::regex_search(attributes, found, helpString)
                                ? std::wstring(found[1].first, found[1].second)
                                : std::wstring());
        }
    }
    return help;
}

class Relinker {
  public:
    Relinker(ITypeLib* compiled, ITypeLib* sdk, MemberHelp help)
        : m_compiled(compiled), m_help(std::move(help)) {
        const UINT count = sdk->GetTypeInfoCount();
        for (UINT i = 0; i < count; ++i) {
            ComPtr<ITypeInfo> info;
            Check(sdk->GetTypeInfo(i, &info), "GetTypeInfo of the SDK library");
            m_sdkTypes[NameOf(info.Get())] = info;
        }
    }

    void Write(const wchar_t* path) {
        TLIBATTR* attr = nullptr;
        Check(m_compiled->GetLibAttr(&attr), "GetLibAttr");
        const TLIBATTR lib = *attr;
        m_compiled->ReleaseTLibAttr(attr);
        Bstr name, doc;
        DWORD helpContext = 0;
        Check(
            m_compiled->GetDocumentation(-1, name.Receive(), doc.Receive(), &helpContext, nullptr),
            "GetDocumentation of the library");

        Check(CreateTypeLib2(lib.syskind, path, &m_output), "CreateTypeLib2", path);
        Check(m_output->SetGuid(lib.guid), "SetGuid");
        Check(m_output->SetVersion(lib.wMajorVerNum, lib.wMinorVerNum), "SetVersion");
        Check(m_output->SetLcid(lib.lcid), "SetLcid");
        Check(m_output->SetName(name.Get()), "SetName");
        if (doc.Get()) Check(m_output->SetDocString(doc.Get()), "SetDocString");
        Check(m_output->SetHelpContext(helpContext), "SetHelpContext");
        Check(m_output->SetLibFlags(lib.wLibFlags), "SetLibFlags");

        // Create every type first, so that types can refer to each other in any order.
        const UINT count = m_compiled->GetTypeInfoCount();
        std::vector<std::pair<ComPtr<ITypeInfo>, ComPtr<ICreateTypeInfo>>> types;
        for (UINT i = 0; i < count; ++i) {
            ComPtr<ITypeInfo> source;
            Check(m_compiled->GetTypeInfo(i, &source), "GetTypeInfo");
            const std::wstring typeName = NameOf(source.Get());
            TypeAttr attr(source.Get());
            Check(source->GetTypeAttr(attr.Receive()), "GetTypeAttr", typeName);
            if (IsSdkType(typeName, attr->guid)) continue;  // referenced, not copied
            TYPEKIND kind = attr->typekind;
            if (kind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL))
                kind = TKIND_INTERFACE;
            if (kind != TKIND_ENUM && kind != TKIND_INTERFACE && kind != TKIND_COCLASS)
                throw Failure("unsupported kind of type");
            std::wstring createName = typeName;
            ComPtr<ICreateTypeInfo> target;
            Check(m_output->CreateTypeInfo(createName.data(), kind, &target), "CreateTypeInfo",
                  typeName);
            ComPtr<ITypeInfo> created;
            Check(target.As(&created), "QueryInterface(ITypeInfo)", typeName);
            m_created[typeName] = created;
            types.emplace_back(source, target);
        }
        for (auto& [source, target] : types) CopyType(source.Get(), target.Get());
        Check(m_output->SaveAllChanges(), "SaveAllChanges", path);
    }

  private:
    // Whether a type of the compiled library is a copy of the SDK's type of that name (a copy
    // may have lost its GUID). A different type under an SDK name fails the build.
    bool IsSdkType(const std::wstring& name, REFGUID guid) {
        auto it = m_sdkTypes.find(name);
        if (it == m_sdkTypes.end()) return false;
        TypeAttr sdkAttr(it->second.Get());
        Check(it->second->GetTypeAttr(sdkAttr.Receive()), "GetTypeAttr", name);
        if (!IsEqualGUID(guid, GUID_NULL) && !IsEqualGUID(guid, sdkAttr->guid))
            throw Failure("a type of the library has the name of another type of the SDK");
        return true;
    }

    // The type that a reference of the compiled library stands for in the output.
    ComPtr<ITypeInfo> Resolve(ITypeInfo* owner, HREFTYPE ref) {
        ComPtr<ITypeInfo> referenced;
        Check(owner->GetRefTypeInfo(ref, &referenced), "GetRefTypeInfo");
        ComPtr<ITypeLib> container;
        UINT index = 0;
        Check(referenced->GetContainingTypeLib(&container, &index), "GetContainingTypeLib");
        if (container.Get() != m_compiled) return referenced;  // SDK, stdole: already external
        const std::wstring name = NameOf(referenced.Get());
        if (auto it = m_sdkTypes.find(name); it != m_sdkTypes.end()) return it->second;
        if (auto it = m_created.find(name); it != m_created.end()) return it->second;
        throw Failure("reference to a type that is not copied");
    }

    HREFTYPE Reference(ITypeInfo* owner, HREFTYPE ref, ICreateTypeInfo* target) {
        HREFTYPE result = 0;
        Check(target->AddRefTypeInfo(Resolve(owner, ref).Get(), &result), "AddRefTypeInfo");
        return result;
    }

    // A copy of a type description whose references point into the output.
    TYPEDESC CopyTypeDesc(ITypeInfo* owner, const TYPEDESC& desc, ICreateTypeInfo* target) {
        TYPEDESC copy = desc;
        switch (desc.vt) {
            case VT_PTR:
            case VT_SAFEARRAY:
                m_typeDescs.push_back(CopyTypeDesc(owner, *desc.lptdesc, target));
                copy.lptdesc = &m_typeDescs.back();
                break;
            case VT_USERDEFINED:
                copy.hreftype = Reference(owner, desc.hreftype, target);
                break;
            case VT_CARRAY:
                throw Failure("fixed-size arrays are not supported");
            default:
                break;
        }
        return copy;
    }

    void CopyType(ITypeInfo* source, ICreateTypeInfo* target) {
        const std::wstring name = NameOf(source);
        TypeAttr attr(source);
        Check(source->GetTypeAttr(attr.Receive()), "GetTypeAttr", name);
        Bstr doc;
        DWORD helpContext = 0;
        Check(source->GetDocumentation(MEMBERID_NIL, nullptr, doc.Receive(), &helpContext, nullptr),
              "GetDocumentation", name);
        Check(target->SetGuid(attr->guid), "SetGuid", name);
        Check(target->SetVersion(attr->wMajorVerNum, attr->wMinorVerNum), "SetVersion", name);
        if (doc.Get()) Check(target->SetDocString(doc.Get()), "SetDocString", name);
        Check(target->SetHelpContext(helpContext), "SetHelpContext", name);

        switch (attr->typekind) {
            case TKIND_ENUM:
                Check(target->SetTypeFlags(attr->wTypeFlags), "SetTypeFlags", name);
                CopyConstants(source, attr->cVars, target);
                break;
            case TKIND_COCLASS:
                Check(target->SetTypeFlags(attr->wTypeFlags), "SetTypeFlags", name);
                for (UINT i = 0; i < attr->cImplTypes; ++i) {
                    HREFTYPE ref = 0;
                    INT flags = 0;
                    Check(source->GetRefTypeOfImplType(i, &ref), "GetRefTypeOfImplType", name);
                    Check(source->GetImplTypeFlags(i, &flags), "GetImplTypeFlags", name);
                    Check(target->AddImplType(i, Reference(source, ref, target)), "AddImplType",
                          name);
                    Check(target->SetImplTypeFlags(i, flags), "SetImplTypeFlags", name);
                }
                break;
            default:
                CopyDualInterface(source, target, name);
                break;
        }
    }

    void CopyConstants(ITypeInfo* source, UINT count, ICreateTypeInfo* target) {
        for (UINT i = 0; i < count; ++i) {
            VarDesc var(source);
            Check(source->GetVarDesc(i, var.Receive()), "GetVarDesc");
            Bstr name, doc;
            Check(source->GetDocumentation(var->memid, name.Receive(), doc.Receive(), nullptr,
                                           nullptr),
                  "GetDocumentation of a constant");
            Check(target->AddVarDesc(i, &*var), "AddVarDesc", name.Text());
            Check(target->SetVarName(i, name.Get()), "SetVarName", name.Text());
            if (doc.Get()) Check(target->SetVarDocString(i, doc.Get()), "SetVarDocString");
        }
    }

    void CopyDualInterface(ITypeInfo* dispatchHalf, ICreateTypeInfo* target,
                           const std::wstring& name) {
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> source;
        Check(dispatchHalf->GetRefTypeOfImplType(-1, &ref), "GetRefTypeOfImplType(-1)", name);
        Check(dispatchHalf->GetRefTypeInfo(ref, &source), "GetRefTypeInfo", name);
        TypeAttr attr(source.Get());
        Check(source->GetTypeAttr(attr.Receive()), "GetTypeAttr", name);
        if (attr->cImplTypes != 1) throw Failure("a dual interface has one base");
        Check(source->GetRefTypeOfImplType(0, &ref), "GetRefTypeOfImplType", name);
        Check(target->AddImplType(0, Reference(source.Get(), ref, target)), "AddImplType", name);
        Check(target->SetTypeFlags(attr->wTypeFlags), "SetTypeFlags", name);

        for (UINT i = 0; i < attr->cFuncs; ++i) {
            FuncDesc func(source.Get());
            Check(source->GetFuncDesc(i, func.Receive()), "GetFuncDesc", name);
            FUNCDESC copy = *func;
            copy.elemdescFunc.tdesc = CopyTypeDesc(source.Get(), func->elemdescFunc.tdesc, target);
            std::vector<ELEMDESC> params(func->lprgelemdescParam,
                                         func->lprgelemdescParam + func->cParams);
            for (ELEMDESC& param : params)
                param.tdesc = CopyTypeDesc(source.Get(), param.tdesc, target);
            copy.lprgelemdescParam = params.data();
            Check(target->AddFuncDesc(i, &copy), "AddFuncDesc", name);

            // Names and help are kept per DISPID: a property's put and get share them.
            std::vector<BSTR> names(func->cParams + 1);
            UINT nameCount = 0;
            Check(source->GetNames(func->memid, names.data(), static_cast<UINT>(names.size()),
                                   &nameCount),
                  "GetNames", name);
            std::vector<LPOLESTR> namePointers(names.begin(), names.begin() + nameCount);
            // The value of a property put carries no name.
            if (func->invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF) &&
                nameCount == static_cast<UINT>(func->cParams) + 1)
                namePointers.pop_back();
            const HRESULT named = target->SetFuncAndParamNames(
                i, namePointers.data(), static_cast<UINT>(namePointers.size()));
            for (UINT n = 0; n < nameCount; ++n) SysFreeString(names[n]);
            Check(named, "SetFuncAndParamNames", name);

            Bstr doc;
            DWORD helpContext = 0;
            Check(source->GetDocumentation(func->memid, nullptr, doc.Receive(), &helpContext,
                                           nullptr),
                  "GetDocumentation of a member", name);
            const auto declared = m_help.find(name);
            if (declared != m_help.end() && i < declared->second.size()) {
                // The member's own text (see the file comment).
                if (!declared->second[i].empty())
                    Check(target->SetFuncDocString(i, const_cast<wchar_t*>(declared->second[i].c_str())),
                          "SetFuncDocString", name);
            } else if (doc.Get()) {
                Check(target->SetFuncDocString(i, doc.Get()), "SetFuncDocString", name);
            }
            Check(target->SetFuncHelpContext(i, helpContext), "SetFuncHelpContext", name);
        }
        Check(target->LayOut(), "LayOut", name);
    }

    ITypeLib* m_compiled;
    MemberHelp m_help;
    ComPtr<ICreateTypeLib2> m_output;
    std::map<std::wstring, ComPtr<ITypeInfo>> m_sdkTypes;
    std::map<std::wstring, ComPtr<ITypeInfo>> m_created;
    std::deque<TYPEDESC> m_typeDescs;  // pointed to by copied descriptions; stable addresses
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        fprintf(stderr,
                "usage: relink_typelib <compiled.tlb> <sdk.tlb> <output.tlb> <library.idl>\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    int result = 0;
    try {
        // The SDK's library is loaded first: the compiled library's references to it find it
        // among the loaded libraries, without any registration.
        ComPtr<ITypeLib> sdk;
        ComPtr<ITypeLib> compiled;
        Check(LoadTypeLibEx(argv[2], REGKIND_NONE, &sdk), "LoadTypeLibEx", argv[2]);
        Check(LoadTypeLibEx(argv[1], REGKIND_NONE, &compiled), "LoadTypeLibEx", argv[1]);
        DeleteFileW(argv[3]);
        Relinker(compiled.Get(), sdk.Get(), ReadMemberHelp(argv[4])).Write(argv[3]);
    } catch (const std::exception& e) {
        fprintf(stderr, "relink_typelib: %s\n", e.what());
        DeleteFileW(argv[3]);
        result = 1;
    }
    CoUninitialize();
    return result;
}
