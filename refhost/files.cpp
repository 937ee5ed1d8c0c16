// File list, files and streaming readers.
#include "files.h"

#include <algorithm>
#include <mutex>

#include "bag.h"

namespace RefHost::Detail {

namespace {

using Guard = std::lock_guard<HostLock>;

const HRESULT kClosed = HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);

// Closes a file handle when it goes.
struct HandleOwner {
    HANDLE handle;
    ~HandleOwner() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

HRESULT ReadLocalFile(const std::wstring& path, std::vector<BYTE>& bytes) {
    HandleOwner file{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.handle, &size)) return HRESULT_FROM_WIN32(GetLastError());
    if (size.QuadPart < 0 || static_cast<unsigned long long>(size.QuadPart) > kMaxFileSize)
        return E_OUTOFMEMORY;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        const DWORD wanted = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        if (!ReadFile(file.handle, bytes.data() + done, wanted, &read, nullptr))
            return HRESULT_FROM_WIN32(GetLastError());
        if (read == 0) break;  // the file shrank meanwhile
        done += read;
    }
    bytes.resize(done);
    return S_OK;
}

HRESULT PositionArgument(const VARIANT& position, size_t count, size_t& index) {
    long number = 0;
    const HRESULT hr = VariantToLong(position, number);
    if (FAILED(hr)) return hr;
    if (number < 1 || static_cast<size_t>(number) > count) return KV_E_PROPERTYNOTFOUND;
    index = static_cast<size_t>(number) - 1;
    return S_OK;
}

}  // namespace

void BytesToVariant(const std::vector<BYTE>& bytes, size_t offset, size_t count, VARIANT* target) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(count));
    if (array == nullptr) throw std::bad_alloc();
    if (count != 0) {
        void* data = nullptr;
        SafeArrayAccessData(array, &data);
        std::copy_n(bytes.data() + offset, count, static_cast<BYTE*>(data));
        SafeArrayUnaccessData(array);
    }
    V_VT(target) = VT_ARRAY | VT_UI1;
    V_ARRAY(target) = array;
}

// =============================================================================================
// CStreamingFile

STDMETHODIMP CStreamingFile::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISStreamingFile::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ISStreamingFile)
        return E_NOINTERFACE;
    *ppv = static_cast<ISStreamingFile*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CStreamingFile::get_Size(LONG* pSize) try {
    HOST_HOOK("ISStreamingFile::get_Size");
    if (pSize == nullptr) return E_POINTER;
    Guard guard(m_lock);
    if (!m_contents) return kClosed;
    *pSize = static_cast<LONG>(m_contents->size());
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CStreamingFile::get_Position(LONG* pPosition) try {
    HOST_HOOK("ISStreamingFile::get_Position");
    if (pPosition == nullptr) return E_POINTER;
    Guard guard(m_lock);
    if (!m_contents) return kClosed;
    *pPosition = static_cast<LONG>(m_position);
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CStreamingFile::Read(LONG count, VARIANT* pBytes) try {
    HOST_HOOK("ISStreamingFile::Read", count);
    if (pBytes == nullptr) return E_POINTER;
    if (count < 0) return E_INVALIDARG;
    Guard guard(m_lock);
    if (!m_contents) return kClosed;
    const size_t length = std::min(static_cast<size_t>(count), m_contents->size() - m_position);
    BytesToVariant(*m_contents, m_position, length, pBytes);
    m_position += length;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CStreamingFile::Close() try {
    HOST_HOOK("ISStreamingFile::Close");
    Guard guard(m_lock);
    if (!m_contents) return S_FALSE;
    m_contents.reset();
    return S_OK;
}
HOST_CATCH()

// =============================================================================================
// CFile

STDMETHODIMP CFile::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISFile::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ISFile) return E_NOINTERFACE;
    *ppv = static_cast<ISFile*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CFile::get_Name(BSTR* pName) try {
    HOST_HOOK("ISFile::get_Name");
    if (pName == nullptr) return E_POINTER;
    return ReturnText(m_name, pName);
}
HOST_CATCH()

STDMETHODIMP CFile::get_Size(LONG* pSize) try {
    HOST_HOOK("ISFile::get_Size");
    if (pSize == nullptr) return E_POINTER;
    Guard guard(m_lock);
    *pSize = static_cast<LONG>(m_contents->size());
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CFile::get_Contents(VARIANT* pContents) try {
    HOST_HOOK("ISFile::get_Contents");
    if (pContents == nullptr) return E_POINTER;
    Bytes contents;
    {
        Guard guard(m_lock);
        contents = m_contents;
    }
    BytesToVariant(*contents, 0, contents->size(), pContents);
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CFile::put_Contents(VARIANT contents) try {
    HOST_HOOK("ISFile::put_Contents", contents);
    const VARIANT* value = &contents;
    if (V_VT(value) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(value) != nullptr)
        value = V_VARIANTREF(value);
    SAFEARRAY* array = nullptr;
    if (V_VT(value) == (VT_ARRAY | VT_UI1))
        array = V_ARRAY(value);
    else if (V_VT(value) == (VT_BYREF | VT_ARRAY | VT_UI1) && V_ARRAYREF(value) != nullptr)
        array = *V_ARRAYREF(value);
    if (array == nullptr || SafeArrayGetDim(array) != 1) return DISP_E_TYPEMISMATCH;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    const size_t length = upper >= lower ? static_cast<size_t>(upper - lower) + 1 : 0;
    if (length > kMaxFileSize) return E_OUTOFMEMORY;
    auto bytes = std::make_shared<std::vector<BYTE>>(length);
    if (length != 0) {
        void* data = nullptr;
        HRESULT hr = SafeArrayAccessData(array, &data);
        if (FAILED(hr)) return hr;
        std::copy_n(static_cast<const BYTE*>(data), length, bytes->data());
        SafeArrayUnaccessData(array);
    }
    Guard guard(m_lock);
    m_contents = std::move(bytes);
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CFile::get_StreamingFile(ISStreamingFile** ppStreamingFile) try {
    HOST_HOOK("ISFile::get_StreamingFile");
    if (ppStreamingFile == nullptr) return E_POINTER;
    Bytes contents;
    {
        Guard guard(m_lock);
        contents = m_contents;
    }
    *ppStreamingFile = Make<CStreamingFile>(std::move(contents)).Detach();
    return S_OK;
}
HOST_CATCH()

FileRecord CFile::Record() {
    Guard guard(m_lock);
    return FileRecord{m_name, m_contents};
}

// =============================================================================================
// CFiles

STDMETHODIMP CFiles::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISFiles::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ISFiles) return E_NOINTERFACE;
    *ppv = static_cast<ISFiles*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CFiles::get_Count(LONG* pCount) try {
    HOST_HOOK("ISFiles::get_Count");
    if (pCount == nullptr) return E_POINTER;
    Guard guard(m_lock);
    *pCount = static_cast<LONG>(m_files.size());
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CFiles::get__NewEnum(IUnknown** ppEnum) try {
    HOST_HOOK("ISFiles::get__NewEnum");
    if (ppEnum == nullptr) return E_POINTER;
    auto snapshot = std::make_shared<CVariantEnum::Snapshot>();
    {
        Guard guard(m_lock);
        VARIANT item;
        V_VT(&item) = VT_DISPATCH;
        for (const auto& file : m_files) {
            V_DISPATCH(&item) = static_cast<ISFile*>(file.Get());
            const HRESULT hr = snapshot->Add(item);
            if (FAILED(hr)) return hr;
        }
    }
    *ppEnum = static_cast<IEnumVARIANT*>(Make<CVariantEnum>(std::move(snapshot)).Detach());
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CFiles::Add(BSTR localPath, ISFile** ppFile) try {
    HOST_HOOK("ISFiles::Add", localPath);
    if (ppFile == nullptr) return E_POINTER;
    const std::wstring path(TextOf(localPath));
    if (path.empty()) return E_INVALIDARG;
    auto bytes = std::make_shared<std::vector<BYTE>>();
    HRESULT hr = ReadLocalFile(path, *bytes);
    if (FAILED(hr)) return hr;
    const size_t slash = path.find_last_of(L"\\/:");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    *ppFile = Append(std::move(name), std::move(bytes)).Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CFiles::Delete(VARIANT position) try {
    HOST_HOOK("ISFiles::Delete", position);
    Guard guard(m_lock);
    size_t index = 0;
    HRESULT hr = PositionArgument(position, m_files.size(), index);
    if (FAILED(hr)) return hr;
    m_files.erase(m_files.begin() + static_cast<std::ptrdiff_t>(index));
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CFiles::get_TotalSize(LONG* pSize) try {
    HOST_HOOK("ISFiles::get_TotalSize");
    if (pSize == nullptr) return E_POINTER;
    const std::vector<FileRecord> records = Records();
    unsigned long long total = 0;
    for (const FileRecord& record : records) total += record.contents->size();
    *pSize = total > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<LONG>(total);
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CFiles::get_Item(VARIANT position, ISFile** ppFile) try {
    HOST_HOOK("ISFiles::get_Item", position);
    if (ppFile == nullptr) return E_POINTER;
    Guard guard(m_lock);
    size_t index = 0;
    HRESULT hr = PositionArgument(position, m_files.size(), index);
    if (FAILED(hr)) return hr;
    *ppFile = m_files[index].Get();
    m_files[index]->AddRef();
    return S_OK;
}
HOST_CATCH()

ComPtr<CFile> CFiles::Append(std::wstring name, Bytes contents) {
    ComPtr<CFile> file = Make<CFile>(std::move(name), std::move(contents));
    Guard guard(m_lock);
    m_files.push_back(file);
    return file;
}

std::vector<FileRecord> CFiles::Records() {
    std::vector<ComPtr<CFile>> files;
    {
        Guard guard(m_lock);
        files = m_files;
    }
    std::vector<FileRecord> records;
    records.reserve(files.size());
    for (const auto& file : files) records.push_back(file->Record());
    return records;
}

void CFiles::Replace(const std::vector<FileRecord>& records) {
    std::vector<ComPtr<CFile>> files;
    files.reserve(records.size());
    for (const FileRecord& record : records)
        files.push_back(Make<CFile>(record.name, record.contents));
    Guard guard(m_lock);
    m_files.swap(files);
}

void CFiles::RemoveAll() {
    std::vector<ComPtr<CFile>> files;
    Guard guard(m_lock);
    m_files.swap(files);
}

}  // namespace RefHost::Detail
