// Build tool: writes reference.html, the reference for script authors and host developers, from
// the module's own type library.
//
//   cgk-reference <module.dll> <status codes.idl> <version> <output.html>
//
// It loads the type library that the module carries (LoadTypeLibEx, nothing registered) and walks
// it with ITypeLib and ITypeInfo: the class and the interfaces it implements, every interface the
// library defines with each member (DISPID, kind, arguments, help string), and the enumerations.
// The interfaces of the host's library that the class implements are walked the same way. The
// status codes come from the IDL file that defines them for the C++ headers (each
// `cpp_quote("#define KV_E_... ((HRESULT)0x...L)")` after its `cpp_quote("// meaning")`), since a
// type library holds no constants of that kind.
//
// The page's conventions, which tests/release/reference_test.cpp reads back: every member is a
// table row <tr id="<interface>.<member>.<kind>"> (kind: method, get, put, putref) whose cells
// are the DISPID, the kind, the member's signature and its help string; every enumeration
// constant a row <tr id="<enumeration>.<name>">; every status code a row <tr id="<name>">.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
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

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// Text for an HTML element or attribute, UTF-8.
std::string Html(const std::wstring& text) {
    std::string out;
    for (char c : Utf8(text)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

struct Documentation {
    std::wstring name;
    std::wstring help;
};

Documentation DocumentationOf(ITypeInfo* info, MEMBERID id) {
    Bstr name, help;
    Check(info->GetDocumentation(id, name.Receive(), help.Receive(), nullptr, nullptr),
          "ITypeInfo::GetDocumentation");
    return {name.Text(), help.Text()};
}

std::wstring NameOf(ITypeInfo* info) {
    return DocumentationOf(info, MEMBERID_NIL).name;
}

// The library a type information belongs to, by its name ("KorvelInfoStore").
std::wstring LibraryOf(ITypeInfo* info) {
    ComPtr<ITypeLib> library;
    UINT index = 0;
    if (FAILED(info->GetContainingTypeLib(&library, &index))) return L"?";
    Bstr name;
    library->GetDocumentation(-1, name.Receive(), nullptr, nullptr, nullptr);
    return name.Text();
}

std::wstring TypeText(ITypeInfo* info, const TYPEDESC& type);

std::wstring BaseTypeText(VARTYPE vt) {
    static const std::map<VARTYPE, const wchar_t*> kNames = {{VT_EMPTY, L"void"},
                                                             {VT_I1, L"char"},
                                                             {VT_UI1, L"unsigned char"},
                                                             {VT_I2, L"short"},
                                                             {VT_UI2, L"unsigned short"},
                                                             {VT_I4, L"long"},
                                                             {VT_UI4, L"unsigned long"},
                                                             {VT_I8, L"__int64"},
                                                             {VT_UI8, L"unsigned __int64"},
                                                             {VT_INT, L"int"},
                                                             {VT_UINT, L"unsigned int"},
                                                             {VT_R4, L"float"},
                                                             {VT_R8, L"double"},
                                                             {VT_CY, L"CURRENCY"},
                                                             {VT_DATE, L"DATE"},
                                                             {VT_BSTR, L"BSTR"},
                                                             {VT_DISPATCH, L"IDispatch*"},
                                                             {VT_ERROR, L"SCODE"},
                                                             {VT_BOOL, L"VARIANT_BOOL"},
                                                             {VT_VARIANT, L"VARIANT"},
                                                             {VT_UNKNOWN, L"IUnknown*"},
                                                             {VT_DECIMAL, L"DECIMAL"},
                                                             {VT_HRESULT, L"HRESULT"},
                                                             {VT_VOID, L"void"},
                                                             {VT_LPSTR, L"LPSTR"},
                                                             {VT_LPWSTR, L"LPWSTR"}};
    const auto found = kNames.find(vt);
    return found != kNames.end() ? found->second : L"VARTYPE " + std::to_wstring(vt);
}

std::wstring TypeText(ITypeInfo* info, const TYPEDESC& type) {
    switch (type.vt) {
        case VT_PTR:
            return TypeText(info, *type.lptdesc) + L"*";
        case VT_SAFEARRAY:
            return L"SAFEARRAY(" + TypeText(info, *type.lptdesc) + L")";
        case VT_CARRAY:
            return TypeText(info, type.lpadesc->tdescElem) + L"[]";
        case VT_USERDEFINED: {
            ComPtr<ITypeInfo> referenced;
            if (FAILED(info->GetRefTypeInfo(type.hreftype, &referenced)))
                throw Failure(
                    "a referenced type cannot be resolved (is the host's type library "
                    "in the working folder?)");
            return NameOf(referenced.Get());
        }
        default:
            return BaseTypeText(type.vt);
    }
}

std::wstring VariantText(const VARIANT& value) {
    if (V_VT(&value) == VT_BSTR) {
        return L"\"" + std::wstring(V_BSTR(&value), SysStringLen(V_BSTR(&value))) + L"\"";
    }
    VARIANT text;
    VariantInit(&text);
    std::wstring out = L"?";
    if (SUCCEEDED(VariantChangeType(&text, const_cast<VARIANT*>(&value), 0, VT_BSTR)))
        out.assign(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
    VariantClear(&text);
    return out;
}

std::wstring KindId(INVOKEKIND kind) {
    switch (kind) {
        case INVOKE_PROPERTYGET:
            return L"get";
        case INVOKE_PROPERTYPUT:
            return L"put";
        case INVOKE_PROPERTYPUTREF:
            return L"putref";
        default:
            return L"method";
    }
}

// "method", or "property " and the accessor's name.
std::wstring KindText(INVOKEKIND kind) {
    const std::wstring id = KindId(kind);
    return id == L"method" ? id : L"property " + id;
}

std::wstring DispidText(MEMBERID id) {
    wchar_t text[32];
    if (id < 0 || id >= 0x10000) {
        swprintf(text, 32, L"%ld (0x%08lX)", static_cast<long>(id), static_cast<unsigned long>(id));
    } else {
        swprintf(text, 32, L"%ld", static_cast<long>(id));
    }
    return text;
}

class Page {
  public:
    explicit Page(std::string& out) : m_out(out) {}
    Page& operator<<(const std::string& text) {
        m_out += text;
        return *this;
    }
    Page& operator<<(const char* text) {
        m_out += text;
        return *this;
    }
    Page& operator<<(const std::wstring& text) {
        m_out += Html(text);
        return *this;
    }

  private:
    std::string& m_out;
};

struct InterfaceEntry {
    ComPtr<ITypeInfo> info;  // the vtable side of a dual interface, or the interface itself
    std::wstring name;
    bool ownLibrary;
};

// The vtable side of a dual interface (the dispatch side lists IUnknown's and IDispatch's
// members again); a plain interface or dispinterface as it is.
ComPtr<ITypeInfo> MembersSide(ITypeInfo* info) {
    TypeAttr attr(info);
    Check(info->GetTypeAttr(attr.Receive()), "ITypeInfo::GetTypeAttr");
    if (attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL)) {
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> vtable;
        if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref)) &&
            SUCCEEDED(info->GetRefTypeInfo(ref, &vtable)))
            return vtable;
    }
    return info;
}

std::wstring FlagsText(WORD flags) {
    std::wstring out;
    const auto add = [&out](const wchar_t* text) {
        if (!out.empty()) out += L", ";
        out += text;
    };
    if (flags & TYPEFLAG_FDUAL) add(L"dual");
    if (flags & TYPEFLAG_FOLEAUTOMATION) add(L"oleautomation");
    if (flags & TYPEFLAG_FDISPATCHABLE) add(L"dispatchable");
    if (flags & TYPEFLAG_FNONEXTENSIBLE) add(L"nonextensible");
    if (flags & TYPEFLAG_FHIDDEN) add(L"hidden");
    if (flags & TYPEFLAG_FRESTRICTED) add(L"restricted");
    return out.empty() ? L"-" : out;
}

void WriteInterface(Page& page, const InterfaceEntry& entry) {
    ITypeInfo* info = entry.info.Get();
    TypeAttr attr(info);
    Check(info->GetTypeAttr(attr.Receive()), "ITypeInfo::GetTypeAttr");
    const Documentation doc = DocumentationOf(info, MEMBERID_NIL);
    std::wstring base = L"-";
    if (attr->cImplTypes > 0) {
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> baseInfo;
        Check(info->GetRefTypeOfImplType(0, &ref), "ITypeInfo::GetRefTypeOfImplType");
        Check(info->GetRefTypeInfo(ref, &baseInfo), "ITypeInfo::GetRefTypeInfo");
        base = NameOf(baseInfo.Get());
    }
    page << "<section class=\"interface\" id=\"interface-" << entry.name << "\">\n<h3>"
         << entry.name << "</h3>\n";
    if (!doc.help.empty()) page << "<p class=\"help\">" << doc.help << "</p>\n";
    page << "<table class=\"facts\">\n<tr><th>IID</th><td><code>" << GuidText(attr->guid)
         << "</code></td></tr>\n<tr><th>derives from</th><td><code>" << base
         << "</code></td></tr>\n<tr><th>attributes</th><td>" << FlagsText(attr->wTypeFlags)
         << "</td></tr>\n<tr><th>library</th><td>" << LibraryOf(info) << "</td></tr>\n</table>\n";
    page << "<table class=\"members\">\n<tr><th>DISPID</th><th>kind</th><th>member</th>"
            "<th>help string</th></tr>\n";
    // The first member of each DISPID: ITypeInfo gives names and help strings per DISPID, so a
    // property's put and get share them (the parameter names of the other one are its own
    // roles, see below).
    std::set<MEMBERID> seen;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FuncDesc func(info);
        Check(info->GetFuncDesc(i, func.Receive()), "ITypeInfo::GetFuncDesc");
        const bool first = seen.insert(func->memid).second;
        const Documentation member = DocumentationOf(info, func->memid);
        std::vector<BSTR> names(static_cast<size_t>(func->cParams) + 1, nullptr);
        UINT count = 0;
        Check(info->GetNames(func->memid, names.data(), static_cast<UINT>(names.size()), &count),
              "ITypeInfo::GetNames");
        std::wstring signature =
            TypeText(info, func->elemdescFunc.tdesc) + L" " + member.name + L"(";
        for (SHORT p = 0; p < func->cParams; ++p) {
            const ELEMDESC& param = func->lprgelemdescParam[p];
            const USHORT flags = param.paramdesc.wParamFlags;
            std::wstring attributes;
            const auto add = [&attributes](const std::wstring& text) {
                attributes += attributes.empty() ? text : L", " + text;
            };
            if (flags & PARAMFLAG_FIN) add(L"in");
            if (flags & PARAMFLAG_FOUT) add(L"out");
            if (flags & PARAMFLAG_FRETVAL) add(L"retval");
            if (flags & PARAMFLAG_FOPT) add(L"optional");
            if ((flags & PARAMFLAG_FHASDEFAULT) && param.paramdesc.pparamdescex)
                add(L"defaultvalue(" + VariantText(param.paramdesc.pparamdescex->varDefaultValue) +
                    L")");
            std::wstring name;
            const bool last = p + 1 == func->cParams;
            if (first && static_cast<UINT>(p) + 1 < count && names[p + 1]) {
                name = names[p + 1];
            } else if (last && (func->invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF))) {
                name = L"value";
            } else if (flags & PARAMFLAG_FRETVAL) {
                name = L"result";
            } else if (static_cast<UINT>(p) + 1 < count && names[p + 1]) {
                name = names[p + 1];
            } else {
                name = L"arg" + std::to_wstring(p + 1);
            }
            if (p > 0) signature += L", ";
            signature += (attributes.empty() ? L"" : L"[" + attributes + L"] ") +
                         TypeText(info, param.tdesc) + L" " + name;
        }
        signature += L")";
        for (BSTR name : names) SysFreeString(name);
        std::wstring notes;
        if (func->wFuncFlags & FUNCFLAG_FRESTRICTED) notes += L" (restricted)";
        if (func->wFuncFlags & FUNCFLAG_FHIDDEN) notes += L" (hidden)";
        const INVOKEKIND kind = func->invkind;
        // An interface that is not dispatchable has no DISPIDs, only vtable slots.
        const std::wstring dispid =
            (attr->wTypeFlags & TYPEFLAG_FDISPATCHABLE)
                ? DispidText(func->memid)
                : L"- (vtable slot " + std::to_wstring(func->oVft / sizeof(void*)) + L")";
        page << "<tr id=\"" << entry.name << L"." << member.name << L"." << KindId(kind)
             << "\"><td class=\"dispid\">" << dispid << "</td><td class=\"kind\">" << KindText(kind)
             << notes << "</td><td class=\"signature\"><code>" << signature
             << "</code></td><td class=\"help\">" << member.help << "</td></tr>\n";
    }
    page << "</table>\n</section>\n";
}

void WriteEnumeration(Page& page, ITypeInfo* info) {
    TypeAttr attr(info);
    Check(info->GetTypeAttr(attr.Receive()), "ITypeInfo::GetTypeAttr");
    const Documentation doc = DocumentationOf(info, MEMBERID_NIL);
    page << "<section class=\"enumeration\" id=\"enum-" << doc.name << "\">\n<h3>" << doc.name
         << "</h3>\n";
    if (!doc.help.empty()) page << "<p class=\"help\">" << doc.help << "</p>\n";
    page << "<table class=\"constants\">\n<tr><th>name</th><th>value</th><th>help string</th>"
            "</tr>\n";
    for (UINT i = 0; i < attr->cVars; ++i) {
        VarDesc var(info);
        Check(info->GetVarDesc(i, var.Receive()), "ITypeInfo::GetVarDesc");
        const Documentation constant = DocumentationOf(info, var->memid);
        const std::wstring value =
            var->varkind == VAR_CONST && var->lpvarValue ? VariantText(*var->lpvarValue) : L"?";
        page << "<tr id=\"" << doc.name << L"." << constant.name << "\"><td class=\"name\"><code>"
             << constant.name << "</code></td><td class=\"value\">" << value
             << "</td><td class=\"help\">" << constant.help << "</td></tr>\n";
    }
    page << "</table>\n</section>\n";
}

struct StatusCode {
    std::wstring name;
    unsigned long code;
    std::wstring meaning;
};

// Each `cpp_quote("#define NAME ((HRESULT)0x...L)")` of the IDL file, with the comment line
// quoted just before it as its meaning.
std::vector<StatusCode> ReadStatusCodes(const wchar_t* path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw Failure("cannot read the IDL file with the status codes");
    const std::regex comment(R"re(^\s*cpp_quote\("//\s*(.*)"\)\s*$)re");
    const std::regex define(
        R"re(^\s*cpp_quote\("#define\s+(\w+)\s+\(\(HRESULT\)0x([0-9A-Fa-f]{8})L?\)"\)\s*$)re");
    std::vector<StatusCode> codes;
    std::string line, meaning;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::smatch found;
        if (std::regex_match(line, found, comment)) {
            meaning = found[1].str();
        } else if (std::regex_match(line, found, define)) {
            if (meaning.empty())
                throw Failure("a status code without its meaning: " + found[1].str());
            const std::string name = found[1].str();
            codes.push_back({std::wstring(name.begin(), name.end()),
                             std::stoul(found[2].str(), nullptr, 16),
                             std::wstring(meaning.begin(), meaning.end())});
            meaning.clear();
        } else {
            meaning.clear();
        }
    }
    if (codes.empty()) throw Failure("the IDL file defines no status codes");
    return codes;
}

const char kStyle[] =
    "body{font-family:sans-serif;max-width:72em;margin:1em auto;padding:0 1em;color:#222}"
    "table{border-collapse:collapse;margin:.5em 0 1.5em}"
    "th,td{border:1px solid #ccc;padding:.2em .5em;text-align:left;vertical-align:top}"
    "th{background:#f0f0f0}code{font-family:monospace}td.dispid,td.value{text-align:right}"
    "table.facts th{width:9em}h3{margin-top:2em}";

std::string MakePage(const wchar_t* modulePath, const wchar_t* idlPath,
                     const std::wstring& version) {
    ComPtr<ITypeLib> library;
    Check(LoadTypeLibEx(modulePath, REGKIND_NONE, &library), "LoadTypeLibEx of the module");
    Bstr libName, libHelp;
    Check(library->GetDocumentation(-1, libName.Receive(), libHelp.Receive(), nullptr, nullptr),
          "ITypeLib::GetDocumentation");
    TLIBATTR* libAttr = nullptr;
    Check(library->GetLibAttr(&libAttr), "ITypeLib::GetLibAttr");
    const std::wstring libid = GuidText(libAttr->guid);
    const std::wstring libVersion =
        std::to_wstring(libAttr->wMajorVerNum) + L"." + std::to_wstring(libAttr->wMinorVerNum);
    library->ReleaseTLibAttr(libAttr);

    std::vector<ComPtr<ITypeInfo>> classes, enumerations;
    std::vector<InterfaceEntry> interfaces;
    std::set<std::wstring> listed;
    for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
        ComPtr<ITypeInfo> info;
        Check(library->GetTypeInfo(i, &info), "ITypeLib::GetTypeInfo");
        TYPEKIND kind;
        Check(library->GetTypeInfoType(i, &kind), "ITypeLib::GetTypeInfoType");
        switch (kind) {
            case TKIND_COCLASS:
                classes.push_back(info);
                break;
            case TKIND_ENUM:
                enumerations.push_back(info);
                break;
            case TKIND_INTERFACE:
            case TKIND_DISPATCH: {
                const std::wstring name = NameOf(info.Get());
                if (listed.insert(name).second)
                    interfaces.push_back({MembersSide(info.Get()), name, true});
                break;
            }
            default:
                break;  // aliases and records: none in this library
        }
    }
    // The host library's interfaces that a class implements, after the library's own.
    std::vector<InterfaceEntry> imported;
    for (const auto& coclass : classes) {
        TypeAttr attr(coclass.Get());
        Check(coclass->GetTypeAttr(attr.Receive()), "ITypeInfo::GetTypeAttr");
        for (UINT i = 0; i < attr->cImplTypes; ++i) {
            HREFTYPE ref = 0;
            ComPtr<ITypeInfo> face;
            Check(coclass->GetRefTypeOfImplType(i, &ref), "ITypeInfo::GetRefTypeOfImplType");
            Check(coclass->GetRefTypeInfo(ref, &face), "ITypeInfo::GetRefTypeInfo");
            const std::wstring name = NameOf(face.Get());
            if (listed.insert(name).second)
                imported.push_back({MembersSide(face.Get()), name, false});
        }
    }

    std::string out;
    Page page(out);
    const std::wstring title = L"CryptoGraphicKey " + version + L": type library reference";
    page << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>"
         << title << "</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n<h1>" << title
         << "</h1>\n";
    page << "<p>The members that script clients and hosts call on the key object of "
            "<code>CryptoGraphicKey.dll</code> "
         << version << ", generated at build time from the type library the module carries (<code>"
         << libName.Text() << "</code>, <q>" << libHelp.Text() << "</q>, LIBID <code>" << libid
         << "</code>, version " << libVersion
         << "). A member's help string is the one the type library gives for its DISPID: the "
            "get and the put of a property share it.</p>\n";

    page << "<h2>Contents</h2>\n<ul>\n";
    for (const auto& coclass : classes) {
        const std::wstring name = NameOf(coclass.Get());
        page << "<li><a href=\"#class-" << name << "\">Class " << name << "</a></li>\n";
    }
    for (const auto& e : enumerations) {
        const std::wstring name = NameOf(e.Get());
        page << "<li><a href=\"#enum-" << name << "\">Enumeration " << name << "</a></li>\n";
    }
    page << "<li>Interfaces of this library<ul>\n";
    for (const auto& entry : interfaces)
        page << "<li><a href=\"#interface-" << entry.name << "\">" << entry.name << "</a></li>\n";
    page << "</ul></li>\n<li>Interfaces of the host's library that the class implements<ul>\n";
    for (const auto& entry : imported)
        page << "<li><a href=\"#interface-" << entry.name << "\">" << entry.name << "</a></li>\n";
    page << "</ul></li>\n<li><a href=\"#status-codes\">Status codes</a></li>\n</ul>\n";

    page << "<h2>Classes</h2>\n";
    for (const auto& coclass : classes) {
        TypeAttr attr(coclass.Get());
        Check(coclass->GetTypeAttr(attr.Receive()), "ITypeInfo::GetTypeAttr");
        const Documentation doc = DocumentationOf(coclass.Get(), MEMBERID_NIL);
        page << "<section class=\"class\" id=\"class-" << doc.name << "\">\n<h3>" << doc.name
             << "</h3>\n";
        if (!doc.help.empty()) page << "<p class=\"help\">" << doc.help << "</p>\n";
        page << "<table class=\"facts\">\n<tr><th>CLSID</th><td><code>" << GuidText(attr->guid)
             << "</code></td></tr>\n</table>\n<table class=\"implements\">\n"
                "<tr><th>interface</th><th>attributes</th><th>library</th></tr>\n";
        for (UINT i = 0; i < attr->cImplTypes; ++i) {
            HREFTYPE ref = 0;
            ComPtr<ITypeInfo> face;
            INT flags = 0;
            Check(coclass->GetRefTypeOfImplType(i, &ref), "ITypeInfo::GetRefTypeOfImplType");
            Check(coclass->GetRefTypeInfo(ref, &face), "ITypeInfo::GetRefTypeInfo");
            coclass->GetImplTypeFlags(i, &flags);
            const std::wstring name = NameOf(face.Get());
            std::wstring attributes;
            if (flags & IMPLTYPEFLAG_FDEFAULT) attributes += L"default";
            if (flags & IMPLTYPEFLAG_FSOURCE)
                attributes += attributes.empty() ? L"source" : L", source";
            page << "<tr><td><a href=\"#interface-" << name << "\"><code>" << name
                 << "</code></a></td><td>" << (attributes.empty() ? L"-" : attributes)
                 << "</td><td>" << LibraryOf(face.Get()) << "</td></tr>\n";
        }
        page << "</table>\n</section>\n";
    }

    page << "<h2>Enumerations</h2>\n";
    for (const auto& e : enumerations) WriteEnumeration(page, e.Get());

    page << "<h2>Interfaces of this library</h2>\n";
    for (const auto& entry : interfaces) WriteInterface(page, entry);
    page << "<h2>Interfaces of the host's library that the class implements</h2>\n"
            "<p>Defined by the platform's SDK (the host's type library, which this library "
            "imports); listed here as the key object implements them.</p>\n";
    for (const auto& entry : imported) WriteInterface(page, entry);

    page << "<h2 id=\"status-codes\">Status codes</h2>\n<p>The repository's status codes that the "
            "module's members return besides the common COM and automation ones (as the "
            "SDK's header defines them).</p>\n<table class=\"status\">\n"
            "<tr><th>code</th><th>name</th><th>meaning</th></tr>\n";
    for (const StatusCode& code : ReadStatusCodes(idlPath)) {
        wchar_t hex[16];
        swprintf(hex, 16, L"0x%08lX", code.code);
        page << "<tr id=\"" << code.name << "\"><td class=\"code\"><code>" << std::wstring(hex)
             << "</code></td><td class=\"name\"><code>" << code.name
             << "</code></td><td class=\"meaning\">" << code.meaning << "</td></tr>\n";
    }
    page << "</table>\n</body>\n</html>\n";
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        fwprintf(stderr,
                 L"usage: cgk-reference <module.dll> <status codes.idl> <version> "
                 L"<output.html>\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int status = 0;
    try {
        const std::string page = MakePage(argv[1], argv[2], argv[3]);
        const std::wstring temporary = std::wstring(argv[4]) + L".tmp";
        std::ofstream file(temporary.c_str(), std::ios::binary | std::ios::trunc);
        file << page;
        file.close();
        if (!file) throw Failure("cannot write the page");
        if (!MoveFileExW(temporary.c_str(), argv[4], MOVEFILE_REPLACE_EXISTING))
            throw Failure("cannot replace the page");
    } catch (const std::exception& e) {
        fprintf(stderr, "cgk-reference: %s\n", e.what());
        status = 1;
    }
    CoUninitialize();
    return status;
}
